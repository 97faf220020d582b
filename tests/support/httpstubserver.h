#pragma once

#include <QHash>
#include <QHostAddress>
#include <QQueue>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class QTcpSocket;

namespace TestSupport {

// A scripted HTTP/1.1 server on a loopback address, plain or TLS. Every request it reads is
// recorded with its exact bytes; each one takes the next queued response, or the default one
// when the queue is empty. A response delayed beyond the test's end stands for no answer.
class HttpStubServer : public QTcpServer
{
    Q_OBJECT

public:
    // How the end of a response's body is told.
    enum class Framing {
        ContentLength, // a Content-Length header
        NoLength,      // none: the close of the connection ends the body
        Chunked,       // chunked transfer coding, the body as one chunk and the last chunk
    };

    struct Response
    {
        int status = 200;
        QByteArray reason = "OK";
        QByteArray headers; // more header lines, each with its CRLF
        QByteArray body;
        int delayMs = 0;         // the whole answer this much later
        int bodyDelayMs = 0;     // the body this much after the status line and headers
        int bodySent = -1;       // only this many bytes of the body go out (-1: all of it)
        bool closeAfter = false; // the connection is closed once the answer has gone out
        int restDelayMs = -1;    // the rest of a partly sent body this much later (-1: never)
        // bodySent and restDelayMs count the body's bytes as framed on the wire.
        Framing framing = Framing::ContentLength;
        int contentLength = -1; // the Content-Length sent (-1: the body's size)
        int closeDelayMs = 0;   // with closeAfter, the close this much after the last bytes

        static Response ok(const QByteArray &body, int delayMs = 0)
        {
            return {200, "OK", {}, body, delayMs, 0, -1, false, -1};
        }
        static Response withStatus(int status, const QByteArray &reason, const QByteArray &body)
        {
            return {status, reason, {}, body, 0, 0, -1, false, -1};
        }
        // 200 with a gzip body whose first part decodes to the text and whose later rest is
        // no compressed data.
        static Response gzipBrokenAfter(const QByteArray &text);
        // 200 with the text in gzip and "Content-Encoding: gzip".
        static Response gzipOk(const QByteArray &text);
    };

    // The data repeated count times, compressed as one gzip member.
    static QByteArray gzip(const QByteArray &data, int count = 1);

    struct Request
    {
        QByteArray method;
        QByteArray target;
        QHash<QByteArray, QByteArray> headers; // by lower-case name
        QByteArray head; // request line and header lines, up to and including the blank line
        QByteArray body;

        // The header of that name (case-insensitive); null when absent.
        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    };

    using QTcpServer::QTcpServer;

    bool listenHttp(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost))
    {
        return listen(address);
    }
    // TLS with the given identity; the client side decides whether it trusts it.
    bool listenHttps(const QSslKey &key, const QSslCertificate &certificate,
                     const QHostAddress &address = QHostAddress(QHostAddress::LocalHost))
    {
        m_key = key;
        m_certificate = certificate;
        return listen(address);
    }

    // "http://127.0.0.1:<port>" (or https) followed by the path, as text.
    QString url(const QString &path = QStringLiteral("/")) const;

    void setDefaultResponse(const Response &response) { m_default = response; }
    void enqueue(const Response &response) { m_queue.enqueue(response); }

    QList<Request> requests() const { return m_requests; }
    int openConnections() const { return m_buffers.size(); }

Q_SIGNALS:
    void requestReceived();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void onReadyRead(QTcpSocket *socket);

    QSslKey m_key;
    QSslCertificate m_certificate;
    Response m_default;
    QQueue<Response> m_queue;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

} // namespace TestSupport

Q_DECLARE_METATYPE(TestSupport::HttpStubServer::Response)
