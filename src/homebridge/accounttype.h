#pragma once

namespace TolvaneMail {

// The tier of an e-mail address as the registry knows it. The numbers are fixed.
enum AccountType : int {
    kAccountUndetermined = 1, // no usable answer, or no such user in the service's own domain
    kAccountExternal = 2,     // no such user, outside the service's own domain
    kAccountDynamic = 3,      // served by a phone-hosted HomeBridge
    kAccountPro = 4,
    kAccountHipaa = 5,
};

} // namespace TolvaneMail
