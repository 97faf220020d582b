#pragma once

#include <QString>

// One network interface of the HomeBridge's phone.
class HBDNetworkInterface
{
public:
    QString Name;
    QString IP;
    QString MAC;
};
