#pragma once

namespace TolvaneMail {

// The service's own mail domain: logins given without "@" belong to it, and the registry knows
// the service's accounts under it.
inline constexpr char kMailDomain[] = "tolvane.com";

} // namespace TolvaneMail
