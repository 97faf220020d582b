#pragma once

#include "homebridge/registrymode.h"
#include "homebridge/registryrequest.h"

namespace TolvaneMail {

class RegistryReply;

// Starts registry exchanges. Holds no state: keep one or make one on the spot.
class RegistryAccessManager
{
public:
    // A new reply, owned by the caller. In the blocking mode the exchange is over when this
    // returns; in the asynchronous mode it starts once control is back in the event loop, so
    // finished() and error() can still be connected.
    RegistryReply *sendRequest(const RegistryRequest &request, RegistryMode mode);
};

} // namespace TolvaneMail
