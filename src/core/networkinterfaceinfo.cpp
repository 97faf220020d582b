#include "core/networkinterfaceinfo.h"

NetworkInterfaceInfo::NetworkInterfaceInfo() = default;

NetworkInterfaceInfo::NetworkInterfaceInfo(const QString &name, const QHostAddress &address,
                                           const QString &hardwareAddress)
    : m_name(name), m_address(address), m_hardwareAddress(hardwareAddress)
{
}

NetworkInterfaceInfo::NetworkInterfaceInfo(const NetworkInterfaceInfo &other) = default;

NetworkInterfaceInfo &NetworkInterfaceInfo::operator=(const NetworkInterfaceInfo &other) = default;

NetworkInterfaceInfo::~NetworkInterfaceInfo() = default;

bool NetworkInterfaceInfo::operator==(const NetworkInterfaceInfo &other) const
{
    return m_name == other.m_name && m_address == other.m_address
        && m_hardwareAddress == other.m_hardwareAddress;
}
