#include "support/rawpeer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

namespace TestSupport {

RawPeer::RawPeer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *socket = m_server.nextPendingConnection();
        if (!socket)
            return;
        if (m_socket) { // one link per peer: later ones are refused
            socket->abort();
            socket->deleteLater();
            return;
        }
        attach(socket);
    });
}

RawPeer::~RawPeer()
{
    if (m_socket)
        m_socket->abort();
}

bool RawPeer::listen(const QHostAddress &address)
{
    return m_server.listen(address, 0);
}

quint16 RawPeer::port() const
{
    return m_server.serverPort();
}

void RawPeer::connectTo(const QHostAddress &address, quint16 port)
{
    auto *socket = new QTcpSocket(this);
    attach(socket);
    socket->connectToHost(address, port);
}

bool RawPeer::waitConnected(int timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (!isConnected() && timer.elapsed() < timeout)
        QTest::qWait(5);
    return isConnected();
}

bool RawPeer::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void RawPeer::attach(QTcpSocket *socket)
{
    socket->setParent(this);
    m_socket = socket;
    connect(socket, &QTcpSocket::readyRead, this, &RawPeer::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        m_peerClosed = true;
        Q_EMIT closedByPeer();
    });
    onReadyRead();
}

void RawPeer::write(const QByteArray &raw)
{
    if (!m_socket)
        return;
    m_socket->write(raw);
    m_socket->flush();
}

void RawPeer::writeData(quint64 id, const QByteArray &payload)
{
    write("DATA: " + QByteArray::number(id) + ' ' + QByteArray::number(payload.size()) + '\n' +
          payload);
}

void RawPeer::writeError(quint64 id, const QByteArray &text)
{
    write("ERROR: " + QByteArray::number(id) + ' ' + QByteArray::number(text.size()) + '\n' +
          text);
}

void RawPeer::writeFail(const QByteArray &text, quint64 requestId)
{
    write("FAIL: " + QByteArray::number(text.size()) + ' ' + QByteArray::number(requestId) +
          '\n' + text);
}

void RawPeer::drop()
{
    if (m_socket)
        m_socket->abort();
}

void RawPeer::closeGracefully()
{
    if (m_socket)
        m_socket->disconnectFromHost();
}

void RawPeer::setReading(bool on)
{
    m_reading = on;
    if (!m_socket)
        return;
    // Qt's own buffer stays small, so unread bytes stay in the system's buffers.
    m_socket->setReadBufferSize(4096);
    if (on)
        onReadyRead();
}

void RawPeer::onReadyRead()
{
    if (!m_socket || !m_reading)
        return;
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    m_received += bytes;
    m_reader.feed(bytes);
    while (m_reader.hasCommand()) {
        const RawCommandReader::Command command = m_reader.take();
        ++m_receivedCommands;
        if (m_keepCommands)
            m_commands.append(command);
        if (command.name == "KEEP" && m_answerKeep)
            write("OK\n");
        else if (command.name == "DATA" && m_acknowledgeData)
            write("TRANS: " + command.args.value(0) + " OK\n");
        Q_EMIT commandReceived();
    }
}

bool RawPeer::waitForCount(int count, int timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (m_commands.size() < count && timer.elapsed() < timeout)
        QTest::qWait(5);
    return m_commands.size() >= count;
}

int RawPeer::indexOf(const QByteArray &name, int from) const
{
    for (int i = qMax(0, from); i < m_commands.size(); ++i) {
        if (m_commands.at(i).name == name)
            return i;
    }
    return -1;
}

int RawPeer::waitFor(const QByteArray &name, int from, int timeout)
{
    QElapsedTimer timer;
    timer.start();
    int index = indexOf(name, from);
    while (index < 0 && timer.elapsed() < timeout) {
        QTest::qWait(5);
        index = indexOf(name, from);
    }
    return index;
}

bool RawPeer::waitForPeerClose(int timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (!m_peerClosed && timer.elapsed() < timeout)
        QTest::qWait(5);
    return m_peerClosed;
}

} // namespace TestSupport
