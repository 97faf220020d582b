#pragma once

#include "log/out.h"

#include <QDebug>

// The per-account proxy controller. Of it, only its error codes exist so far.
class TolvaneProxy
{
public:
    enum ErrorCode {
        kErrorUnknown = 0,
        kErrorNetworkError = 1,
        kErrorNetworkUnreachable = 2,
        kErrorInvalidSettings = 3,
        kErrorServerOutOfDate = 4,
        kErrorOldServer = 5,
        kErrorHomeBridgeNotFound = 6,
        kErrorFailedConnecting = 7,
        kErrorInvalidPassword = 8,
        kErrorAuthTemporaryServerIssue = 9,
        kErrorFailedStartPOP3ForwardServer = 10,
        kErrorFailedStartSMTPForwardServer = 11,
    };
};

// Writes the code's name as plain text; a value outside the enumeration writes nothing.
QDebug &operator<<(QDebug &debug, TolvaneProxy::ErrorCode code);

// Log streams write this enumeration by name.
template <>
struct Log::EnumByName<TolvaneProxy::ErrorCode> : std::true_type {
};
