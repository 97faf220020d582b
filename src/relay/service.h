#pragma once

#include <QByteArray>
#include <QObject>

namespace Relay {

class Channel;

// Anything that can take an incoming tunnelled connection. Called through the meta-object
// system by slot name, so the slot's signature is part of the interface.
class Service : public QObject
{
    Q_OBJECT
public:
    explicit Service(QObject *parent = nullptr) : QObject(parent) {}
    ~Service() override = default;

public Q_SLOTS:
    // Takes over `channel`, one end of a pair whose other end carries the connection to
    // `serviceId` of session `sessionId`.
    virtual void handleConnection(qulonglong sessionId, QByteArray serviceId,
                                  Relay::Channel *channel) = 0;
};

} // namespace Relay
