#pragma once

#include <QString>

// A relay server and session through which a HomeBridge can be reached.
class HBDRelay
{
public:
    QString Address = QLatin1String("");
    quint16 Port = 0;
    // Decimal text of the relay session id (a 64-bit number).
    QString SessionID = QLatin1String("");
};
