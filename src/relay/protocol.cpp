#include "relay/protocol.h"

namespace Relay {

Protocol::~Protocol() = default;

} // namespace Relay
