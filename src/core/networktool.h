#pragma once

#include "core/networkinterfaceinfo.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QString>

// Small questions about this computer's network, answered by static functions. The two address
// lookups block the calling thread (15 s and 3 s at most) and keep what they learnt in
// process-wide values without locks: call them from the GUI thread only.
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

    static constexpr int kExternalLookupTimeout = 15000;
    static constexpr int kExternalLookupRepeatTimeout = 3000;
    static constexpr int kLocalProbeTimeout = 3000;
    static constexpr quint16 kLocalProbeDefaultPort = 53;

    NetworkTool() = delete;

    // The desktop's public IPv4 address as the echo service sees it. A failed lookup answers
    // with the address of the last successful one; empty when none has succeeded yet.
    static QString getExternalIPAddress();

    // The desktop's LAN IPv4 address: the only qualifying interface's, else the local end of a
    // test connection to a public DNS server (no data is sent). Empty when none is found.
    static QString getLocalIPAddress();

    // The interfaces of this computer. Unless allInterfaces is set, only running interfaces with
    // a real hardware address and only their IPv4 addresses count; an interface's last kept
    // address wins.
    static InterfaceMap getInterfacesInfo(bool allInterfaces);

    // The same filter applied to a given list of interfaces, in the given order.
    static InterfaceMap interfacesInfoFrom(const QList<InterfaceEntry> &interfaces,
                                           bool allInterfaces);

    // The interfaces as QNetworkInterface lists them.
    static QList<InterfaceEntry> systemInterfaces();

    // getLocalIPAddress() on a given interface map.
    static QString localIPAddressFrom(const InterfaceMap &interfaces);
    // The local address of a connection to the probe endpoint; null when it does not connect
    // within kLocalProbeTimeout.
    static QHostAddress probeLocalAddress();
    // Remembers what the probe found when it is a usable address, else warns and forgets the
    // remembered one; returns the remembered value.
    static QString rememberProbedAddress(const QHostAddress &found);

    // The echo service: set here, else from the environment variable TOLVANE_EXTERNAL_IP_URL,
    // else kDefaultExternalIpUrl. An empty text restores that order.
    static void setExternalIpUrl(const QString &url);
    static QString externalIpUrl();
    // The probe endpoint: set here, else from TOLVANE_LOCAL_IP_PROBE ("address" or
    // "address:port"), else kDefaultLocalIpProbe on port 53. A null address restores that order.
    static void setLocalIpProbe(const QHostAddress &address,
                                quint16 port = kLocalProbeDefaultPort);
    static QHostAddress localIpProbeAddress();
    static quint16 localIpProbePort();

    // The push-message service's base URL, to which "/gcm/send" is appended.
    static void setPushServiceUrl(const QString &url);
    static QString pushServiceUrl();

    // "NAME:%1 IP:%2 MAC:%3;"
    static QString getInterfaceInfoString(const NetworkInterfaceInfo &info);
    // Every entry as "%1) NAME:%2 IP:%3 MAC:%4;" and a tab, numbered from 1.
    static QString getInterfacesInfoString(bool allInterfaces);
    static QString interfacesInfoStringFrom(const InterfaceMap &interfaces);
    // Reads the text form back into a map keyed by the name.
    static InterfaceMap getInterfacesInfoFromString(const QString &text);
    // An entry of getInterfacesInfo(false): the first one for an empty name, else that name's;
    // a default record when there is none.
    static NetworkInterfaceInfo getInterfaceInfo(const QString &name);
    static NetworkInterfaceInfo interfaceInfoFrom(const InterfaceMap &interfaces,
                                                  const QString &name);
    // The same, looked up by address text.
    static NetworkInterfaceInfo getInterfaceInfoByIp(const QString &ip);
    static NetworkInterfaceInfo interfaceInfoByIpFrom(const InterfaceMap &interfaces,
                                                      const QString &ip);

    // The Wake-on-LAN packet for a MAC given as 12 hexadecimal digits (colons or hyphens
    // between pairs allowed): 6 bytes 0xFF, then the MAC 16 times. Empty for a malformed MAC.
    static QByteArray magicPacket(const QString &mac);
    // Sends the magic packet as one UDP datagram; false when the MAC is malformed or the
    // datagram could not be sent.
    static bool wake(const QString &mac, const QHostAddress &address, quint16 port = 9);
    // Asks the push service to wake a device; fire and forget.
    static void awakeAndroid(const QString &serviceKey, const QString &registrationId);
    // Both IPv4 addresses in 10.0.0.0/8, both in 172.16.0.0/12 or both in 192.168.0.0/16.
    static bool isSamePrivateNetworkSpace(const char *first, const char *second);

    static const char kDefaultExternalIpUrl[];
    static const char kDefaultLocalIpProbe[];
    static const char kDefaultPushServiceUrl[];
};
