#pragma once

#include <QString>

// The phone that runs the HomeBridge.
class HBDMobile
{
public:
    QString OSType;
};
