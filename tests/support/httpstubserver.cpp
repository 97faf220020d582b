#include "support/httpstubserver.h"

#include <QSslSocket>
#include <QTimer>

namespace TestSupport {

HttpStubServer::Response HttpStubServer::Response::gzipBrokenAfter(const QByteArray &text)
{
    // The gzip header, then the text as one stored, not final deflate block (length and its
    // complement, little-endian); 0xFF would begin a block of a type that does not exist.
    const quint16 length = quint16(text.size());
    const QByteArray good = QByteArray::fromHex("1f8b08000000000000ff00") + char(length & 0xFF) +
                            char(length >> 8) + char(~length & 0xFF) + char((~length >> 8) & 0xFF) +
                            text;
    Response response = ok(good + QByteArray(64, '\xff'));
    response.headers = "Content-Encoding: gzip\r\n";
    response.bodySent = good.size();
    response.restDelayMs = 300;
    return response;
}

QString HttpStubServer::url(const QString &path) const
{
    return QStringLiteral("%1://%2:%3%4")
        .arg(QLatin1String(m_key.isNull() ? "http" : "https"), serverAddress().toString())
        .arg(serverPort())
        .arg(path);
}

void HttpStubServer::incomingConnection(qintptr descriptor)
{
    auto *socket = !m_key.isNull() ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        socket->deleteLater();
        return;
    }
    m_buffers.insert(socket, QByteArray());
    connect(socket, &QIODevice::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
        m_buffers.remove(socket);
        socket->deleteLater();
    });
    if (auto *tls = qobject_cast<QSslSocket *>(socket)) {
        tls->setPrivateKey(m_key);
        tls->setLocalCertificate(m_certificate);
        tls->startServerEncryption();
    }
}

void HttpStubServer::onReadyRead(QTcpSocket *socket)
{
    // Looked up afresh each round: a receiver of requestReceived() may close things.
    for (auto it = m_buffers.find(socket); it != m_buffers.end(); it = m_buffers.find(socket)) {
        QByteArray &buffer = it.value();
        buffer.append(socket->readAll());
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        Request request;
        request.head = buffer.left(headEnd + 4);
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (const QByteArray &line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).toLower(), line.mid(colon + 1).trimmed());
        }
        const int length = headEnd + 4 + request.header("Content-Length").toInt();
        if (buffer.size() < length)
            return;
        request.body = buffer.mid(headEnd + 4, length - headEnd - 4);
        buffer.remove(0, length);
        m_requests.append(request);
        const Response response = m_queue.isEmpty() ? m_default : m_queue.dequeue();
        Q_EMIT requestReceived();
        QTimer::singleShot(response.delayMs, socket, [=] {
            socket->write("HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                          response.reason +
                          "\r\nContent-Length: " + QByteArray::number(response.body.size()) +
                          "\r\n" + response.headers + "\r\n");
            QTimer::singleShot(response.bodyDelayMs, socket, [=] {
                const bool whole = response.bodySent < 0;
                socket->write(whole ? response.body : response.body.left(response.bodySent));
                const auto finish = [=] {
                    if (response.closeAfter)
                        socket->disconnectFromHost();
                };
                if (whole || response.restDelayMs < 0)
                    return finish();
                QTimer::singleShot(response.restDelayMs, socket, [=] {
                    socket->write(response.body.mid(response.bodySent));
                    finish();
                });
            });
        });
    }
}

} // namespace TestSupport
