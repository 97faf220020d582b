#include "relay/v2/link.h"

#include "log/logger.h"

#include <QAbstractSocket>
#include <QIODevice>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>
#endif

namespace Relay::V2 {

namespace {
// A part of the handler: its lines follow the handler's logger level (the logger tree passes a
// level set on "Relay::V2::Handler" down to this one).
const Log::Logger kLog("Relay::V2::Handler::Link");

// Small commands are gathered into one piece up to this size.
constexpr int kSmallPiece = 4096;

QByteArray percentEncoded(const QByteArray &bytes)
{
    // Letters, digits, "-", ".", "_" and "~" stay as they are, and so do ":" and blank.
    return bytes.toPercentEncoding(QByteArrayLiteral(": "));
}
} // namespace

Link::Link(QIODevice *device, QObject *parent)
    : QObject(parent), m_device(device), m_socket(qobject_cast<QAbstractSocket *>(device))
{
    if (device) {
        connect(device, &QIODevice::readyRead, this, &Link::readStep);
        connect(device, &QIODevice::bytesWritten, this, &Link::onBytesWritten);
    }
}

void Link::setLowDelay()
{
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

bool Link::canSend() const
{
    return m_device && m_device->isOpen();
}

void Link::queue(const QByteArray &bytes, bool small)
{
    m_outBytes += bytes.size();
    if (small && m_lastPieceSmall && m_out.last().size() < kSmallPiece)
        m_out.last().append(bytes);
    else
        m_out.append(bytes);
    m_lastPieceSmall = small;
}

void Link::send(const Command &command)
{
    if (!canSend())
        return;
    QByteArray header;
    QByteArray payload;
    if (!command.build(&header, &payload)) {
        kLog.error(this) << "Refusing to write a malformed" << Command::toStr(command.type())
                         << "command";
        return;
    }
    enqueue(header, payload);
}

void Link::sendData(quint64 connectionId, const QByteArray &payload)
{
    if (!canSend())
        return;
    QByteArray header = QByteArrayLiteral("DATA: ");
    header += QByteArray::number(connectionId);
    header += ' ';
    header += QByteArray::number(payload.size());
    header += '\n';
    enqueue(header, payload);
}

void Link::enqueue(const QByteArray &header, const QByteArray &payload)
{
    queue(header, true);
    if (!payload.isEmpty())
        queue(payload, false);
    if (m_readStep != ReadStep::kRunning)
        flush();
}

void Link::sendError(quint64 connectionId, const QString &text)
{
    const QByteArray payload = text.toUtf8();
    send(Command(CommandType::ERROR,
                 {Command::Argument(connectionId), Command::Argument(quint64(payload.size())),
                  Command::Argument(payload)}));
}

qint64 Link::writeDirect()
{
#ifdef Q_OS_UNIX
    // Only on a plain TCP socket (what a TLS socket is given must go through its encryption),
    // and only while the socket has nothing of its own queued, so that the order holds.
    if (!m_socket || m_socket->socketType() != QAbstractSocket::TcpSocket ||
        m_socket->inherits("QSslSocket") || m_socket->state() != QAbstractSocket::ConnectedState ||
        m_socket->bytesToWrite() > 0)
        return 0;
    const qintptr descriptor = m_socket->socketDescriptor();
    if (descriptor < 0)
        return 0;
    constexpr int kMaxPieces = 64;
    iovec pieces[kMaxPieces];
    int count = 0;
    for (const QByteArray &piece : qAsConst(m_out)) {
        if (count == kMaxPieces)
            break;
        pieces[count].iov_base = const_cast<char *>(piece.constData());
        pieces[count].iov_len = size_t(piece.size());
        ++count;
    }
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = decltype(message.msg_iovlen)(count);
    ssize_t written;
    do {
        written = ::sendmsg(int(descriptor), &message, MSG_NOSIGNAL);
    } while (written < 0 && errno == EINTR);
    // A failure is left to the socket, which meets it again when it writes the rest.
    return written > 0 ? qint64(written) : 0;
#else
    return 0;
#endif
}

void Link::flush()
{
    if (m_out.isEmpty())
        return;
    if (!canSend()) {
        m_out.clear();
        m_outBytes = 0;
        return;
    }
    qint64 written = writeDirect();
    int first = 0;
    while (written > 0 && first < m_out.size()) {
        const qint64 size = m_out.at(first).size();
        if (written < size) {
            m_out[first] = m_out.at(first).mid(int(written));
            break;
        }
        written -= size;
        ++first;
    }
    for (int i = first; i < m_out.size(); ++i)
        m_device->write(m_out.at(i));
    const bool handedOver = first < m_out.size();
    m_out.clear();
    m_outBytes = 0;
    m_lastPieceSmall = false;
    if (handedOver && m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->flush();
}

void Link::close(bool sendQuit)
{
    if (m_state == State::kClosed)
        return;
    m_state = State::kClosed;
    if (sendQuit && canSend())
        queue(Command(CommandType::QUIT).toWire(), true);
    flush();
    // The device may carry another link next (a socket is reused for the next attempt): nothing
    // of this one reads from it or writes to it any more.
    if (m_device)
        disconnect(m_device, nullptr, this, nullptr);
    m_device = nullptr;
    m_socket = nullptr;
}

bool Link::writeBacklogged() const
{
    return m_device && m_outBytes + m_device->bytesToWrite() > kMaxPendingWrite;
}

void Link::onBytesWritten()
{
    if (m_readStep == ReadStep::kPaused && !writeBacklogged()) {
        m_readStep = ReadStep::kIdle;
        // Later, not from inside the socket's own write.
        QMetaObject::invokeMethod(this, &Link::readStep, Qt::QueuedConnection);
    }
}

void Link::readStep()
{
    if (m_state == State::kClosed || m_readStep == ReadStep::kRunning || !canSend())
        return;
    if (writeBacklogged()) {
        m_readStep = ReadStep::kPaused;
        return;
    }
    QPointer<Link> guard(this);
    m_readStep = ReadStep::kRunning;
    for (;;) {
        // Commands left over from a paused step go first; new bytes are read only after them.
        if (!m_parser.hasCommands()) {
            // Whatever the socket holds, as it holds it (no copy).
            const QByteArray data = m_device->readAll();
            if (data.isEmpty())
                break;
            Q_EMIT received();
            if (kLog.isTrace())
                kLog.trace(this) << "processData:" << QString::fromLatin1(percentEncoded(data));
            m_parser.feed(data);
            if (m_parser.error()) {
                QString text = m_parser.errorMessage();
                const QByteArray line = m_parser.errorLine();
                if (!line.isEmpty())
                    text +=
                        QStringLiteral(" in context: ") + QString::fromLatin1(percentEncoded(line));
                Q_EMIT parseError(text);
                if (!guard)
                    return;
            }
        }
        while (m_parser.hasCommands()) {
            if (m_state == State::kClosed) {
                m_parser.popCommand(); // a closed link dispatches nothing more
                continue;
            }
            // Answers pile up only to the limit, however many commands one read brought.
            if (writeBacklogged()) {
                m_readStep = ReadStep::kPaused;
                flush();
                return;
            }
            Q_EMIT commandReceived(m_parser.popCommand());
            if (!guard)
                return;
        }
        if (m_state == State::kClosed)
            break;
    }
    m_readStep = ReadStep::kIdle;
    flush();
}

} // namespace Relay::V2
