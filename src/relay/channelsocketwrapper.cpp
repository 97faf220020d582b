#include "relay/channelsocketwrapper.h"

#include "log/logger.h"
#include "relay/channel.h"

#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif

namespace Relay {

namespace {
const Log::Logger kLog("ChannelSocketWrapper");
const qint64 kDefaultChunkSize = 32768;

// Bytes written to the socket that its peer has not acknowledged yet; -1 where the system does
// not tell.
qint64 unacknowledgedBytes(qintptr descriptor)
{
    int bytes = 0;
#if defined(Q_OS_LINUX)
    if (descriptor >= 0 && ::ioctl(int(descriptor), SIOCOUTQ, &bytes) == 0)
        return bytes;
#elif defined(Q_OS_MACOS)
    socklen_t length = sizeof(bytes);
    if (descriptor >= 0 &&
        ::getsockopt(int(descriptor), SOL_SOCKET, SO_NWRITE, &bytes, &length) == 0)
        return bytes;
#else
    Q_UNUSED(descriptor)
    Q_UNUSED(bytes)
#endif
    return -1;
}

// Makes the socket's close reset the connection, dropping what the system still holds for it,
// instead of sending that and an ordinary end.
void resetOnClose(qintptr descriptor)
{
#ifdef Q_OS_UNIX
    const linger immediately{1, 0};
    if (descriptor >= 0)
        ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &immediately, sizeof(immediately));
#else
    Q_UNUSED(descriptor)
#endif
}
} // namespace

ChannelSocketWrapper::ChannelSocketWrapper(Channel *channel, QTcpSocket *socket, qint64 chunkSize,
                                           bool owns, QObject *parent)
    : QObject(parent), m_owns(owns), m_channel(channel), m_socket(socket),
      m_chunkSize(chunkSize > 0 ? chunkSize : kDefaultChunkSize)
{
    kLog.trace(this) << "Relay::ChannelSocketWrapper::ChannelSocketWrapper(Relay::Channel*, "
                        "QTcpSocket*, qint64, bool, QObject*)"
                     << chunkSize << owns;
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setInterval(kDefaultDrainTimeoutMs);
    connect(&m_drainTimer, &QTimer::timeout, this, &ChannelSocketWrapper::onDrainTimeout);
    if (m_socket) {
        connect(m_socket, &QTcpSocket::connected, this, &ChannelSocketWrapper::onSocketConnected);
        connect(m_socket, &QTcpSocket::readyRead, this, &ChannelSocketWrapper::onSocketReadyRead);
        connect(m_socket, &QTcpSocket::bytesWritten, this,
                &ChannelSocketWrapper::onSocketBytesWritten);
        connect(m_socket, &QTcpSocket::disconnected, this,
                &ChannelSocketWrapper::onSocketDisconnected);
        connect(m_socket, &QTcpSocket::errorOccurred, this, &ChannelSocketWrapper::onSocketError);
    }
    if (m_channel) {
        connect(m_channel, &Channel::connected, this, &ChannelSocketWrapper::onChannelConnected);
        connect(m_channel, &Channel::newData, this, &ChannelSocketWrapper::onChannelNewData);
        connect(m_channel, &Channel::dataSent, this, &ChannelSocketWrapper::onChannelDataSent);
        connect(m_channel, &Channel::closed, this, &ChannelSocketWrapper::onChannelClosed);
    }
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        onSocketConnected();
}

ChannelSocketWrapper::~ChannelSocketWrapper()
{
    kLog.trace(this) << "Relay::ChannelSocketWrapper::~ChannelSocketWrapper()";
    m_drainTimer.stop();
    // The far end still hears of the close, but nothing comes back into a half-destroyed wrapper.
    if (m_socket)
        disconnect(m_socket, nullptr, this, nullptr);
    if (m_channel) {
        disconnect(m_channel, nullptr, this, nullptr);
        close();
    }
    // A connection that has not ended in order by now is cut, and must look cut to the peer.
    if (m_owns && m_socket && m_socket->state() != QAbstractSocket::UnconnectedState)
        reset();
    if (m_owns) {
        delete m_channel.data();
        delete m_socket.data();
    }
    m_channel.clear();
    m_socket.clear();
}

void ChannelSocketWrapper::setDrainTimeout(int milliseconds)
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::setDrainTimeout(int)" << milliseconds;
    m_drainTimer.setInterval(milliseconds);
}

void ChannelSocketWrapper::close()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::close()";
    if (m_channel)
        m_channel->close();
}

bool ChannelSocketWrapper::socketConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

qint64 ChannelSocketWrapper::bytesTaken() const
{
    const qint64 unacknowledged = unacknowledgedBytes(m_socket->socketDescriptor());
    return m_bytesWritten - qMax<qint64>(unacknowledged, 0);
}

void ChannelSocketWrapper::onSocketConnected()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onSocketConnected()";
    // Small replies of a line protocol go out at once instead of waiting for an acknowledgement.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_channel)
        m_channel->open();
    readStep();
    writeStep();
}

void ChannelSocketWrapper::onSocketReadyRead()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onSocketReadyRead()";
    if (m_messagesInChannel == 0)
        readStep();
}

void ChannelSocketWrapper::readStep()
{
    if (m_reading || !m_channel || !m_socket)
        return;
    m_reading = true;
    // One message in the channel at a time, whichever path asked for the read.
    while (m_channelConnected && !m_channelClosed && m_messagesInChannel == 0) {
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            break;
        // What fits in one message is taken whole, as the socket holds it, without a copy.
        const QByteArray data =
            available <= m_chunkSize ? m_socket->readAll() : m_socket->read(m_chunkSize);
        if (data.isEmpty())
            break;
        if (kLog.isTrace())
            kLog.trace(this) << "Read" << data.size() << "bytes from the socket";
        ++m_messagesInChannel;
        if (!m_channel->send(data)) {
            --m_messagesInChannel;
            kLog.warn(this) << "The channel refused" << data.size() << "bytes";
            break;
        }
    }
    m_reading = false;
    if (m_inputEnded)
        settle();
}

void ChannelSocketWrapper::writeStep()
{
    if (m_writing || !m_channel || !m_socket)
        return;
    m_writing = true;
    while (m_socketBacklog == 0 && !m_disconnecting && socketConnected()) {
        const QByteArray message = m_channel->peek();
        if (message.isEmpty())
            break;
        const qint64 written = m_socket->write(message);
        if (written <= 0) {
            kLog.warn(this) << "Socket write failed:" << m_socket->errorString();
            m_channel->sendError(QStringLiteral("Socket write failed"));
            break;
        }
        m_socketBacklog += written;
        // Hand the bytes to the system now rather than on the next pass of the event loop. This
        // may report them written at once; onSocketBytesWritten() then takes the message out and
        // this loop goes on with the next. Not while the socket is reporting written bytes: it
        // would not report what a nested flush writes, and the message would never leave the
        // channel. The socket writes those bytes on its next pass and reports them then.
        if (!m_inBytesWritten)
            m_socket->flush();
    }
    m_writing = false;
    if (m_channelClosed)
        settle();
}

void ChannelSocketWrapper::onSocketBytesWritten(qint64 bytes)
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onSocketBytesWritten(qint64)" << bytes;
    m_bytesWritten += bytes;
    if (m_socketBacklog <= 0)
        return;
    m_socketBacklog -= bytes;
    if (m_socketBacklog > 0)
        return;
    m_socketBacklog = 0;
    const bool outer = !m_inBytesWritten;
    m_inBytesWritten = true;
    if (m_channel)
        m_channel->recv();
    writeStep();
    if (outer)
        m_inBytesWritten = false;
}

void ChannelSocketWrapper::onSocketError(QAbstractSocket::SocketError error)
{
    kLog.trace(this)
        << "void Relay::ChannelSocketWrapper::onSocketError(QAbstractSocket::SocketError)" << error;
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // The local peer closed: the end of its input, not a failure. The disconnection follows.
        kLog.debug(this) << "Local peer closed the connection";
        return;
    }
    kLog.debug(this) << "Socket error" << error << m_socket->errorString();
    if (m_channel && !m_channelClosed)
        m_channel->sendError(QStringLiteral("Remote socket error"));
    // A failed connect ends without a disconnection; nothing more will come from this socket.
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        m_inputEnded = true;
        settle();
    }
}

void ChannelSocketWrapper::onSocketDisconnected()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onSocketDisconnected()";
    m_inputEnded = true;
    // What the peer sent before it closed is still in the socket's buffer: carry it first.
    readStep();
    settle();
}

void ChannelSocketWrapper::onChannelConnected()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onChannelConnected()";
    m_channelConnected = true;
    readStep();
}

void ChannelSocketWrapper::onChannelNewData()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onChannelNewData()";
    if (m_socketBacklog == 0)
        writeStep();
}

void ChannelSocketWrapper::onChannelDataSent()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onChannelDataSent()";
    if (m_messagesInChannel > 0)
        --m_messagesInChannel;
    if (m_messagesInChannel == 0)
        readStep();
}

void ChannelSocketWrapper::onChannelClosed()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onChannelClosed()";
    m_channelClosed = true;
    // What the channel still holds goes to the socket before it closes.
    writeStep();
    settle();
}

void ChannelSocketWrapper::onDrainTimeout()
{
    kLog.trace(this) << "void Relay::ChannelSocketWrapper::onDrainTimeout()";
    if (!m_socket) {
        finish();
        return;
    }
    const qint64 taken = bytesTaken();
    if (taken > m_drainTaken) {
        // The local peer still takes bytes, however slowly: it is given another period.
        m_drainTaken = taken;
        m_drainTimer.start();
        return;
    }
    kLog.warn(this) << "The local peer took nothing for" << m_drainTimer.interval()
                    << "ms; resetting the connection with"
                    << m_socket->bytesToWrite() +
                           qMax<qint64>(unacknowledgedBytes(m_socket->socketDescriptor()), 0)
                    << "bytes left in the socket";
    finish();
}

void ChannelSocketWrapper::settle()
{
    if (m_finished || !m_channel || !m_socket)
        return;
    if (!m_channelClosed) {
        if (!m_inputEnded)
            return;
        // Everything the local peer sent is read into the channel. What the far owner has not
        // taken yet stays queued there for it after the close.
        const bool allRead = m_socket->bytesAvailable() <= 0;
        if (!m_channelConnected || allRead)
            m_channel->close(); // comes back through onChannelClosed()
        return;
    }
    const bool closing = m_socket->state() == QAbstractSocket::ClosingState;
    if (!socketConnected() && !closing) {
        finish();
        return;
    }
    if (!m_drainTimer.isActive()) {
        m_drainTaken = bytesTaken();
        m_drainTimer.start();
    }
    if (!closing && !m_disconnecting && m_socketBacklog == 0 && m_channel->peek().isEmpty()) {
        m_disconnecting = true;
        // Writes out what the socket still buffers before it closes.
        m_socket->disconnectFromHost();
    }
}

void ChannelSocketWrapper::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_drainTimer.stop();
    // Still open here when the local peer stopped taking what was left for it, or when a
    // connection attempt is given up.
    if (m_socket && m_socket->state() != QAbstractSocket::UnconnectedState)
        reset();
    Q_EMIT closed();
}

void ChannelSocketWrapper::reset()
{
    resetOnClose(m_socket->socketDescriptor());
    m_socket->abort();
}

} // namespace Relay
