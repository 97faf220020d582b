#include "relay/v2/protocolimpl.h"

#include "relay/v2/handler.h"

namespace Relay::V2 {

Relay::Connection *ProtocolImpl::create(QIODevice *device)
{
    return new Handler(device, nullptr);
}

} // namespace Relay::V2
