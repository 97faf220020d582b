#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;

// Fetches one URL with a plain GET and waits for the body inside a local event loop, bounded by
// a time-out. The caller's thread keeps processing events meanwhile. The wait ends when the
// reply finishes (after an error too) or the time-out passes.
class BlockingHTTPTool : public QObject
{
    Q_OBJECT

public:
    explicit BlockingHTTPTool(QObject *parent = nullptr);
    ~BlockingHTTPTool() override;

    // The body that arrived within timeout ms (also an error page's), or an empty array. A body
    // above kMaxBodySize is not collected: the request is dropped and the result is empty.
    static QByteArray sget(const QString &url, int timeout);
    QByteArray get(const QString &url, int timeout);

    static constexpr int kMaxBodySize = 1024 * 1024;

Q_SIGNALS:
    void done();

private Q_SLOTS:
    void processData();
    void slotError(QNetworkReply::NetworkError code);
    void collect();

private:
    QByteArray m_data;
    QPointer<QNetworkAccessManager> m_manager;
    QPointer<QNetworkReply> m_reply;
    bool m_tooLarge = false;
};
