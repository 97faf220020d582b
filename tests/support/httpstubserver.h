#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QQueue>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

namespace TestSupport {

// A scripted HTTP/1.1 server on a loopback address, plain or TLS. Every request it reads is
// recorded with its exact bytes; each one takes the next queued response, or the default one
// when the queue is empty. A response may answer (optionally after a delay), never answer, or
// close the connection as soon as it is accepted.
class HttpStubServer : public QTcpServer
{
    Q_OBJECT

public:
    using Header = QPair<QByteArray, QByteArray>;

    enum class Behaviour { kAnswer, kNeverAnswer, kCloseAtOnce };

    struct Response {
        int status = 200;
        QByteArray reason = "OK";
        QList<Header> headers;
        QByteArray body;
        int delayMs = 0;
        // When above 0, the status line and headers go first and the body this much later.
        int bodyDelayMs = 0;
        Behaviour behaviour = Behaviour::kAnswer;

        static Response ok(const QByteArray &body);
        static Response withStatus(int status, const QByteArray &reason, const QByteArray &body);
        // 401 with a Basic challenge.
        static Response unauthorized();
        static Response delayed(int ms, const QByteArray &body);
        // Reads the request and then stays silent with the connection open.
        static Response neverAnswer();
        // Closes the connection as soon as it is accepted, before reading anything. It is taken
        // from the queue (or is the default) at that moment.
        static Response closeAtOnce();
    };

    struct Request {
        QByteArray method;
        QByteArray target;
        QByteArray version;
        QList<Header> headers;
        QByteArray head; // request line and header lines, up to and including the blank line
        QByteArray body; // de-chunked when sent in chunks

        // The first header of that name (case-insensitive); null when absent.
        QByteArray header(const QByteArray &name) const;
        int headerCount(const QByteArray &name) const;
    };

    explicit HttpStubServer(QObject *parent = nullptr);
    ~HttpStubServer() override;

    // Plain HTTP on the address (127.0.0.1 by default) and a free port.
    bool listenHttp(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    // TLS with the given identity; the client side decides whether it trusts it.
    bool listenHttps(const QSslKey &key, const QSslCertificate &certificate,
                     const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));

    // "http://127.0.0.1:<port>" (or https) followed by the path, as text.
    QString url(const QString &path = QStringLiteral("/")) const;

    void setDefaultResponse(const Response &response) { m_default = response; }
    void enqueue(const Response &response) { m_queue.enqueue(response); }

    QList<Request> requests() const { return m_requests; }
    int acceptedConnections() const { return m_accepted; }
    // Connections the server still holds open.
    int openConnections() const { return m_buffers.size(); }
    // TLS handshakes that failed on the server side (the client refused the certificate).
    int failedHandshakes() const { return m_failedHandshakes; }

Q_SIGNALS:
    void requestReceived();
    void connectionClosed();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    Response takeResponse();
    void onReadyRead(QTcpSocket *socket);
    // Parses one complete request from the front of the buffer; false when more bytes are needed.
    static bool parseRequest(QByteArray &buffer, Request &request);
    void answer(QTcpSocket *socket, const Response &response);
    void forget(QTcpSocket *socket);

    bool m_tls = false;
    QSslKey m_key;
    QSslCertificate m_certificate;
    Response m_default;
    QQueue<Response> m_queue;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    int m_accepted = 0;
    int m_failedHandshakes = 0;
};

} // namespace TestSupport

Q_DECLARE_METATYPE(TestSupport::HttpStubServer::Response)
