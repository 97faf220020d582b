#pragma once

#include "relay/protocol.h"

namespace Relay::V2 {

// Makes relay protocol V2 handlers.
class ProtocolImpl : public Relay::Protocol
{
public:
    // A new handler over the device, without a parent: the caller owns it.
    Relay::Connection *create(QIODevice *device) override;
};

} // namespace Relay::V2
