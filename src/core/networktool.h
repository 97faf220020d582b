#pragma once

#include "core/networkinterfaceinfo.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QString>

// Small questions about this computer's network, answered by static functions.
class NetworkTool
{
public:
    // Keyed by the interface's human-readable name; one entry per interface.
    using InterfaceMap = QMap<QString, NetworkInterfaceInfo>;

    // What the interface filter looks at, taken from QNetworkInterface (or built by a test).
    struct InterfaceEntry {
        QString humanReadableName;
        QString hardwareAddress;
        bool running = false;
        QList<QHostAddress> addresses;
    };

    NetworkTool() = delete;

    // The interfaces of this computer. Unless allInterfaces is set, only running interfaces with
    // a real hardware address and only their IPv4 addresses count; an interface's last kept
    // address wins.
    static InterfaceMap getInterfacesInfo(bool allInterfaces);

    // The same filter applied to a given list of interfaces, in the given order.
    static InterfaceMap interfacesInfoFrom(const QList<InterfaceEntry> &interfaces,
                                           bool allInterfaces);

    // The interfaces as QNetworkInterface lists them.
    static QList<InterfaceEntry> systemInterfaces();
};
