#pragma once

#include <QString>

namespace TolvaneMail {

// One relay server of a relay-list reply.
class RelayParameters
{
public:
    QString ip;
    quint16 port = 0;     // 0: none
    qint64 capacity = 0;  // 0: none
    QString countryCode;
};

} // namespace TolvaneMail
