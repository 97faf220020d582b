#pragma once

namespace TolvaneMail {

// How a registry exchange runs: on the caller's event loop with finished()/error(), or inside
// the call in the caller's thread without signals (any value other than 0).
enum RegistryMode : int {
    kRegistryAsynchronous = 0,
    kRegistryBlocking = 1,
};

} // namespace TolvaneMail
