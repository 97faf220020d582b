#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;

// Fetches one URL with a plain GET and waits for the body inside a local event loop, bounded by
// a time-out. The caller's thread keeps processing events meanwhile. The wait ends when the
// reply finishes (after an error too) or the time-out passes. Only a finished reply's body counts.
class BlockingHTTPTool : public QObject
{
    Q_OBJECT

public:
    explicit BlockingHTTPTool(QObject *parent = nullptr);
    ~BlockingHTTPTool() override;

    // The body of a reply that finished within timeout ms (also an error page's), or an empty
    // array: nothing of a reply still running at the time-out, or of one whose connection failed
    // or broke or whose body could not be decoded, counts. A body above kMaxBodySize is not
    // collected: the request is dropped and the result is empty.
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
    // What the collected data of the running request amounts to.
    enum Body {
        kArriving, // the reply has not finished: part of a body at most
        kWhole,    // the reply finished with the whole body
        kDropped,  // too large, or the transfer failed: nothing counts
    };

    QByteArray m_data;
    QPointer<QNetworkAccessManager> m_manager;
    QPointer<QNetworkReply> m_reply;
    Body m_body = kArriving;
};
