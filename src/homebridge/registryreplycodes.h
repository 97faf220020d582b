#pragma once

#include <QtGlobal>

namespace TolvaneMail {

// The outcome of a registry exchange: most come from the reply line's first word, 0, 8 and 9
// from the client itself.
enum RegistryReplyCodes : quint32 {
    kReplyNone = 0,
    kReplyOk = 1,
    kReplyFailedExists = 2,
    kReplyUserExists = 3,
    kReplyFailedNotExists = 4,
    kReplyUserUnknown = 5,
    kReplyEmailExists = 6,
    kReplyFailedAuth = 7,
    kReplySslError = 8,
    kReplyNetworkError = 9,
    kReplyServerError = 10,
    kReplyDefault = 11,
    kReplyChangedToPro = 12,
    kReplyParseError = 13,
    kReplyInvalidCommand = 14,
};

} // namespace TolvaneMail
