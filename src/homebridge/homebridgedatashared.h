#pragma once

#include "homebridge/hbdinfo.h"
#include "homebridge/hbdmobile.h"
#include "homebridge/hbdnetworkinterface.h"
#include "homebridge/hbdsettings.h"

#include <QList>
#include <QSharedData>

// The payload that copies of one HomeBridgeData share until one of them changes it.
class HomeBridgeDataShared : public QSharedData
{
public:
    HBDInfo info;
    QList<HBDNetworkInterface> networkInterfaces;
    HBDSettings settings;
    HBDMobile mobile;
};
