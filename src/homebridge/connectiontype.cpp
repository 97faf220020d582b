#include "homebridge/connectiontype.h"

namespace TolvaneMail {

const char *toString(ConnectionType type)
{
    switch (type) {
    case kLAN:
        return "kLAN";
    case kInternet:
        return "kInternet";
    case kRelay:
        return "kRelay";
    case kPro:
        return "kPro";
    }
    return "ERROR Invalid Connection Type";
}

} // namespace TolvaneMail
