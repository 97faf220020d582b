#pragma once

#include "relay/service.h"

#include <QHash>

namespace Relay {

// Answers a tunnelled connection by opening a TCP connection to the port on 127.0.0.1 that
// serves its service id, and binding it to the connection's channel. Service ids without an
// entry in the connection types are refused with "Service not found". Either way the service
// owns the channel it is handed and deletes it when done.
class LocalService : public Service
{
    Q_OBJECT
public:
    explicit LocalService(QObject *parent = nullptr);

    // The 127.0.0.1 port that serves the service id; replaces an earlier one.
    void forward(const QByteArray &serviceId, quint16 port);
    // Offers the service id, with an integer of the registrar's choosing; replaces an earlier one.
    void forwardToConnection(const QByteArray &serviceId, int type);

    // Drain time limit given to the socket wrappers made from now on.
    void setDrainTimeout(int milliseconds) { m_drainTimeoutMs = milliseconds; }

public Q_SLOTS:
    void handleConnection(qulonglong sessionId, QByteArray serviceId,
                          Relay::Channel *channel) override;

private:
    QHash<QByteArray, quint16> m_ports;
    QHash<QByteArray, int> m_connectionTypes;
    int m_drainTimeoutMs;
};

} // namespace Relay
