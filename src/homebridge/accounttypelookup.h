#pragma once

#include "homebridge/accounttype.h"

#include <QString>

namespace TolvaneMail {

// The tier of any e-mail address, asked of the registry in the blocking mode, so it may be called
// from any thread that has no event loop. Every tier the registry gave is remembered for the rest
// of the run, per address exactly as passed (letter case included); a failed or refused lookup is
// not remembered and asks again next time. Calls from several threads may run at once; two of
// them for the same new address may both ask.
class AccountTypeLookup
{
public:
    using AccountType = TolvaneMail::AccountType;
    static constexpr AccountType kAccountUndetermined = TolvaneMail::kAccountUndetermined;
    static constexpr AccountType kAccountExternal = TolvaneMail::kAccountExternal;
    static constexpr AccountType kAccountDynamic = TolvaneMail::kAccountDynamic;
    static constexpr AccountType kAccountPro = TolvaneMail::kAccountPro;
    static constexpr AccountType kAccountHipaa = TolvaneMail::kAccountHipaa;

    // Blocks while it asks the registry (up to about 40 s).
    static AccountType checkAccountType(const QString &address);

    // The tier is Pro (a Hipaa address is not Pro by this test).
    static bool isProAccount(const QString &address);
    static bool isHipaaAccount(const QString &address);
    // True without a lookup when the address ends with the service's mail domain; otherwise
    // true for Pro and Hipaa addresses.
    static bool isTolvaneAccount(const QString &address);
    // False without a lookup unless the address ends with "@" and the service's mail domain;
    // otherwise true for phone-hosted addresses.
    static bool isTolvaneMobileAccount(const QString &address);
};

} // namespace TolvaneMail
