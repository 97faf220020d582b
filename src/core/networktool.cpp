#include "core/networktool.h"

#include "log/logger.h"

#include <QNetworkAddressEntry>
#include <QNetworkInterface>

namespace {
const Log::Logger kLog("NetworkTool");
const QString kNullHardwareAddress = QStringLiteral("00:00:00:00:00:00");
} // namespace

NetworkTool::InterfaceMap NetworkTool::getInterfacesInfo(bool allInterfaces)
{
    kLog.trace() << "static NetworkTool::InterfaceMap NetworkTool::getInterfacesInfo(bool)"
                 << allInterfaces;
    return interfacesInfoFrom(systemInterfaces(), allInterfaces);
}

NetworkTool::InterfaceMap NetworkTool::interfacesInfoFrom(const QList<InterfaceEntry> &interfaces,
                                                          bool allInterfaces)
{
    InterfaceMap map;
    for (const InterfaceEntry &interface : interfaces) {
        if (!allInterfaces
            && (!interface.running || interface.hardwareAddress == kNullHardwareAddress
                || interface.hardwareAddress.isEmpty())) {
            continue;
        }
        for (const QHostAddress &address : interface.addresses) {
            if (!allInterfaces && !address.toString().contains(QLatin1Char('.')))
                continue;
            map.insert(interface.humanReadableName,
                       NetworkInterfaceInfo(
                           QString::fromLatin1(interface.humanReadableName.toLatin1()), address,
                           interface.hardwareAddress));
        }
    }
    return map;
}

QList<NetworkTool::InterfaceEntry> NetworkTool::systemInterfaces()
{
    QList<InterfaceEntry> result;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        InterfaceEntry entry;
        entry.humanReadableName = interface.humanReadableName();
        entry.hardwareAddress = interface.hardwareAddress();
        entry.running = interface.flags().testFlag(QNetworkInterface::IsRunning);
        const QList<QNetworkAddressEntry> addressEntries = interface.addressEntries();
        for (const QNetworkAddressEntry &addressEntry : addressEntries)
            entry.addresses.append(addressEntry.ip());
        result.append(entry);
    }
    return result;
}
