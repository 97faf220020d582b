#pragma once

#include <QHostAddress>
#include <QMetaType>
#include <QString>

// One address of one network interface: the interface's human-readable name, the address and
// the interface's hardware address (colon-separated hexadecimal pairs).
class NetworkInterfaceInfo
{
public:
    NetworkInterfaceInfo();
    NetworkInterfaceInfo(const QString &name, const QHostAddress &address,
                         const QString &hardwareAddress);
    NetworkInterfaceInfo(const NetworkInterfaceInfo &other);
    NetworkInterfaceInfo &operator=(const NetworkInterfaceInfo &other);
    ~NetworkInterfaceInfo();

    QString name() const { return m_name; }
    QHostAddress address() const { return m_address; }
    QString hardwareAddress() const { return m_hardwareAddress; }

    bool operator==(const NetworkInterfaceInfo &other) const;
    bool operator!=(const NetworkInterfaceInfo &other) const { return !(*this == other); }

private:
    QString m_name;
    QHostAddress m_address;
    QString m_hardwareAddress;
};

Q_DECLARE_METATYPE(NetworkInterfaceInfo)
