#include "proxy/tolvaneproxy.h"

QDebug &operator<<(QDebug &debug, TolvaneProxy::ErrorCode code)
{
    static const char *const kNames[] = {
        "kErrorUnknown",
        "kErrorNetworkError",
        "kErrorNetworkUnreachable",
        "kErrorInvalidSettings",
        "kErrorServerOutOfDate",
        "kErrorOldServer",
        "kErrorHomeBridgeNotFound",
        "kErrorFailedConnecting",
        "kErrorInvalidPassword",
        "kErrorAuthTemporaryServerIssue",
        "kErrorFailedStartPOP3ForwardServer",
        "kErrorFailedStartSMTPForwardServer",
    };
    const int index = static_cast<int>(code);
    if (index >= 0 && index < int(sizeof kNames / sizeof *kNames))
        debug << kNames[index];
    return debug;
}
