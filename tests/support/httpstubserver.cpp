#include "support/httpstubserver.h"

#include <QSslSocket>
#include <QTimer>
#include <zlib.h>

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

HttpStubServer::Response HttpStubServer::Response::gzipOk(const QByteArray &text)
{
    Response response = ok(gzip(text));
    response.headers = "Content-Encoding: gzip\r\n";
    return response;
}

QByteArray HttpStubServer::gzip(const QByteArray &data, int count)
{
    z_stream stream{};
    // 16 above the window bits: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray result;
    char out[16384];
    for (int round = 0; round < count; ++round) {
        const int flush = round + 1 < count ? Z_NO_FLUSH : Z_FINISH;
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
        stream.avail_in = uInt(data.size());
        do {
            stream.next_out = reinterpret_cast<Bytef *>(out);
            stream.avail_out = sizeof out;
            deflate(&stream, flush);
            result.append(out, int(sizeof out - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return result;
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
            QByteArray head =
                "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason + "\r\n";
            QByteArray wire = response.body;
            switch (response.framing) {
            case Framing::ContentLength:
                head += "Content-Length: " +
                        QByteArray::number(response.contentLength < 0 ? response.body.size()
                                                                      : response.contentLength) +
                        "\r\n";
                break;
            case Framing::NoLength:
                break;
            case Framing::Chunked:
                head += "Transfer-Encoding: chunked\r\n";
                wire = (wire.isEmpty()
                            ? QByteArray()
                            : QByteArray::number(wire.size(), 16) + "\r\n" + wire + "\r\n") +
                       "0\r\n\r\n";
                break;
            }
            socket->write(head + response.headers + "\r\n");
            QTimer::singleShot(response.bodyDelayMs, socket, [=] {
                const bool whole = response.bodySent < 0;
                socket->write(whole ? wire : wire.left(response.bodySent));
                const auto finish = [=] {
                    if (!response.closeAfter)
                        return;
                    if (response.closeDelayMs == 0)
                        return socket->disconnectFromHost();
                    QTimer::singleShot(response.closeDelayMs, socket,
                                       [socket] { socket->disconnectFromHost(); });
                };
                if (whole || response.restDelayMs < 0)
                    return finish();
                QTimer::singleShot(response.restDelayMs, socket, [=] {
                    socket->write(wire.mid(response.bodySent));
                    finish();
                });
            });
        });
    }
}

} // namespace TestSupport
