#include "support/httpstubserver.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace TestSupport {

HttpStubServer::Response HttpStubServer::Response::ok(const QByteArray &body)
{
    Response response;
    response.body = body;
    return response;
}

HttpStubServer::Response HttpStubServer::Response::withStatus(int status, const QByteArray &reason,
                                                              const QByteArray &body)
{
    Response response;
    response.status = status;
    response.reason = reason;
    response.body = body;
    return response;
}

HttpStubServer::Response HttpStubServer::Response::unauthorized()
{
    Response response = withStatus(401, "Unauthorized", "authentication required");
    response.headers.append(Header("WWW-Authenticate", "Basic realm=\"stub\""));
    return response;
}

HttpStubServer::Response HttpStubServer::Response::delayed(int ms, const QByteArray &body)
{
    Response response = ok(body);
    response.delayMs = ms;
    return response;
}

HttpStubServer::Response HttpStubServer::Response::neverAnswer()
{
    Response response;
    response.behaviour = Behaviour::kNeverAnswer;
    return response;
}

HttpStubServer::Response HttpStubServer::Response::closeAtOnce()
{
    Response response;
    response.behaviour = Behaviour::kCloseAtOnce;
    return response;
}

QByteArray HttpStubServer::Request::header(const QByteArray &name) const
{
    for (const Header &header : headers) {
        if (header.first.toLower() == name.toLower())
            return header.second;
    }
    return QByteArray();
}

int HttpStubServer::Request::headerCount(const QByteArray &name) const
{
    int count = 0;
    for (const Header &header : headers)
        count += header.first.toLower() == name.toLower() ? 1 : 0;
    return count;
}

HttpStubServer::HttpStubServer(QObject *parent) : QTcpServer(parent) {}

HttpStubServer::~HttpStubServer()
{
    close();
    // The sockets are children; they go with the server without signalling back into it.
    const QList<QTcpSocket *> sockets = m_buffers.keys();
    for (QTcpSocket *socket : sockets)
        socket->disconnect(this);
}

bool HttpStubServer::listenHttp(const QHostAddress &address)
{
    m_tls = false;
    return listen(address, 0);
}

bool HttpStubServer::listenHttps(const QSslKey &key, const QSslCertificate &certificate,
                                 const QHostAddress &address)
{
    m_tls = true;
    m_key = key;
    m_certificate = certificate;
    return listen(address, 0);
}

QString HttpStubServer::url(const QString &path) const
{
    return QStringLiteral("%1://%2:%3%4")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"), serverAddress().toString())
        .arg(serverPort())
        .arg(path);
}

HttpStubServer::Response HttpStubServer::takeResponse()
{
    return m_queue.isEmpty() ? m_default : m_queue.dequeue();
}

void HttpStubServer::incomingConnection(qintptr descriptor)
{
    ++m_accepted;
    QTcpSocket *socket = nullptr;
    if (m_tls) {
        auto *sslSocket = new QSslSocket(this);
        sslSocket->setPrivateKey(m_key);
        sslSocket->setLocalCertificate(m_certificate);
        sslSocket->setPeerVerifyMode(QSslSocket::VerifyNone);
        connect(sslSocket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors),
                sslSocket, [sslSocket](const QList<QSslError> &) { sslSocket->ignoreSslErrors(); });
        connect(sslSocket, &QAbstractSocket::errorOccurred, this,
                [this, sslSocket](QAbstractSocket::SocketError) {
                    if (!sslSocket->isEncrypted())
                        ++m_failedHandshakes;
                });
        socket = sslSocket;
    } else {
        socket = new QTcpSocket(this);
    }
    if (!socket->setSocketDescriptor(descriptor)) {
        socket->deleteLater();
        return;
    }
    m_buffers.insert(socket, QByteArray());
    connect(socket, &QIODevice::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { forget(socket); });

    if ((m_queue.isEmpty() ? m_default : m_queue.head()).behaviour == Behaviour::kCloseAtOnce) {
        takeResponse();
        socket->abort();
        forget(socket);
        return;
    }
    if (m_tls)
        static_cast<QSslSocket *>(socket)->startServerEncryption();
}

void HttpStubServer::forget(QTcpSocket *socket)
{
    if (m_buffers.remove(socket) == 0)
        return;
    socket->disconnect(this);
    socket->deleteLater();
    Q_EMIT connectionClosed();
}

void HttpStubServer::onReadyRead(QTcpSocket *socket)
{
    if (!m_buffers.contains(socket))
        return;
    m_buffers[socket].append(socket->readAll());
    for (;;) {
        // Looked up afresh each round: a receiver of requestReceived() may close things.
        auto it = m_buffers.find(socket);
        Request request;
        if (it == m_buffers.end() || !parseRequest(it.value(), request))
            return;
        m_requests.append(request);
        const Response response = takeResponse();
        Q_EMIT requestReceived();
        if (response.behaviour == Behaviour::kNeverAnswer)
            continue;
        if (response.behaviour == Behaviour::kCloseAtOnce) {
            socket->abort();
            forget(socket);
            return;
        }
        if (response.delayMs > 0) {
            QTimer::singleShot(response.delayMs, socket,
                               [this, socket, response] { answer(socket, response); });
        } else {
            answer(socket, response);
        }
    }
}

bool HttpStubServer::parseRequest(QByteArray &buffer, Request &request)
{
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    Request parsed;
    parsed.head = buffer.left(headEnd + 4);
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    parsed.method = requestLine.value(0);
    parsed.target = requestLine.value(1);
    parsed.version = requestLine.value(2);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).endsWith('\r') ? lines.at(i).chopped(1) : lines.at(i);
        const int colon = line.indexOf(':');
        if (colon > 0)
            parsed.headers.append(Header(line.left(colon), line.mid(colon + 1).trimmed()));
    }

    int consumed = headEnd + 4;
    if (parsed.header("Transfer-Encoding").toLower().contains("chunked")) {
        for (;;) {
            const int sizeEnd = buffer.indexOf("\r\n", consumed);
            if (sizeEnd < 0)
                return false;
            bool ok = false;
            const int size = buffer.mid(consumed, sizeEnd - consumed).split(';').first().trimmed()
                                 .toInt(&ok, 16);
            if (!ok)
                return false;
            if (buffer.size() < sizeEnd + 2 + size + 2)
                return false;
            parsed.body.append(buffer.mid(sizeEnd + 2, size));
            consumed = sizeEnd + 2 + size + 2;
            if (size == 0)
                break;
        }
    } else {
        const int length = parsed.header("Content-Length").toInt();
        if (buffer.size() < consumed + length)
            return false;
        parsed.body = buffer.mid(consumed, length);
        consumed += length;
    }
    buffer.remove(0, consumed);
    request = parsed;
    return true;
}

void HttpStubServer::answer(QTcpSocket *socket, const Response &response)
{
    if (!m_buffers.contains(socket))
        return;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason
        + "\r\n";
    bool hasLength = false;
    for (const Header &header : response.headers) {
        hasLength = hasLength || header.first.toLower() == "content-length";
        out += header.first + ": " + header.second + "\r\n";
    }
    if (!hasLength)
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    out += "\r\n";
    if (response.bodyDelayMs > 0) {
        socket->write(out);
        const QByteArray body = response.body;
        QTimer::singleShot(response.bodyDelayMs, socket, [socket, body] { socket->write(body); });
        return;
    }
    socket->write(out + response.body);
}

} // namespace TestSupport
