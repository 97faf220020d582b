#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class GzipDecoder;
class QNetworkAccessManager;

// Fetches one URL with a plain GET and waits for the body inside a local event loop, bounded by
// a time-out. The caller's thread keeps processing events meanwhile. The wait ends when the
// reply finishes (after an error too) or the time-out passes. Only a finished reply's body counts,
// and only when it arrived whole: as long as its Content-Length says, and, sent in gzip, up to the
// end of its last member. The request asks for the body unencoded, so that Qt leaves it as sent.
class BlockingHTTPTool : public QObject
{
    Q_OBJECT

public:
    explicit BlockingHTTPTool(QObject *parent = nullptr);
    ~BlockingHTTPTool() override;

    // The body of a reply that finished within timeout ms (also an error page's), or an empty
    // array: nothing of a reply still running at the time-out, or of one whose connection failed
    // or broke, whose body is shorter than its Content-Length, or whose body could not be decoded
    // or comes in another encoding than gzip, counts. A body above kMaxBodySize, as received or
    // decoded, is not collected: the request is dropped and the result is empty.
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
    // Decides from the reply's Content-Encoding how its body is read; drops the body and returns
    // false for an encoding that cannot be read.
    bool chooseDecoding();
    // Whether the finished reply's body arrived whole.
    bool isBodyComplete() const;
    // Ends the request: nothing of its body counts.
    void drop(const QByteArray &reason);

    // What the collected data of the running request amounts to.
    enum Body {
        kArriving, // the reply has not finished: part of a body at most
        kWhole,    // the reply finished with the whole body
        kDropped,  // too large, cut, not decodable, or the transfer failed: nothing counts
    };

    // How the body's bytes are read, decided when the first of them are collected.
    enum Decoding {
        kUndecided,
        kPlain, // taken as they are
        kGzip,  // through the decoder
    };

    QByteArray m_data;
    QPointer<QNetworkAccessManager> m_manager;
    QPointer<QNetworkReply> m_reply;
    Body m_body = kArriving;
    Decoding m_decoding = kUndecided;
    std::unique_ptr<GzipDecoder> m_decoder;
    qint64 m_received = 0; // bytes of the body as sent
};
