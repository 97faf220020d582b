#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

class QUdpSocket;

// A small discovery service on the local network: broadcasts the request token on UDP port 48484
// and passes on the text of every other datagram that arrives on that port.
class UdpBroadcast : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kPort = 48484;
    static const char kRequestToken[]; // "tm#accounts"

    explicit UdpBroadcast(QObject *parent = nullptr);

    // Sends the text's Latin-1 bytes as one datagram to port 48484 of the broadcast address.
    void sendBroadcastMessage(const QString &text);
    // For tests: where sendBroadcastMessage() sends, a loopback address instead of the broadcast.
    void setBroadcastAddress(const QHostAddress &address) { m_broadcastAddress = address; }

Q_SIGNALS:
    // The text of one received datagram (UTF-8 up to its first zero byte).
    void accountsData(const QString &text);

public Q_SLOTS:
    void getAccountList();
    void processPendingDatagrams();

private:
    QUdpSocket *m_socket;
    QHostAddress m_broadcastAddress{QHostAddress::Broadcast};
};
