#include "homebridge/udpbroadcast.h"

#include "log/logger.h"

#include <QUdpSocket>

namespace {
const Log::Logger kLog("UdpBroadcast");
}

const char UdpBroadcast::kRequestToken[] = "tm#accounts";

UdpBroadcast::UdpBroadcast(QObject *parent) : QObject(parent), m_socket(new QUdpSocket(this))
{
    kLog.trace(this) << Q_FUNC_INFO;
    connect(m_socket, &QUdpSocket::readyRead, this, &UdpBroadcast::processPendingDatagrams);
    if (!m_socket->bind(QHostAddress::Any, kPort, QAbstractSocket::ShareAddress)) {
        // Still usable for sending.
        kLog.warn(this) << "Unable to bind adress:" << int(QAbstractSocket::ShareAddress)
                        << "; port:" << kPort << m_socket->errorString();
    }
}

void UdpBroadcast::getAccountList()
{
    kLog.trace(this) << Q_FUNC_INFO;
    sendBroadcastMessage(QLatin1String(kRequestToken));
}

void UdpBroadcast::sendBroadcastMessage(const QString &text)
{
    kLog.trace(this) << Q_FUNC_INFO;
    if (m_socket->writeDatagram(text.toLatin1(), m_broadcastAddress, kPort) < 0)
        kLog.warn(this) << "Cannot send:" << text << m_socket->errorString();
    else
        kLog.debug(this) << "Send:" << text;
}

void UdpBroadcast::processPendingDatagrams()
{
    kLog.trace(this) << Q_FUNC_INFO;
    while (m_socket->hasPendingDatagrams()) {
        const qint64 size = m_socket->pendingDatagramSize();
        QByteArray datagram(int(qMax<qint64>(size, 0)), Qt::Uninitialized);
        QHostAddress sender;
        const qint64 read = m_socket->readDatagram(datagram.data(), datagram.size(), &sender);
        if (size < 0 || read < 0) {
            // Left for the next readyRead(), so a socket that keeps failing cannot hold us here.
            kLog.warn(this) << "Cannot read datagram:" << m_socket->errorString();
            return;
        }
        if (read != size) {
            kLog.warn(this) << "Skipped a datagram of" << read << "bytes; announced were" << size;
            continue;
        }
        const int end = datagram.indexOf('\0');
        const QString text = QString::fromUtf8(end < 0 ? datagram : datagram.left(end));
        kLog.debug(this) << "Received:" << text << "from:" << sender.toString();
        // The whole datagram is searched, past a zero byte too.
        if (datagram.contains(kRequestToken))
            continue; // a request, our own included
        Q_EMIT accountsData(text);
    }
}
