#include "core/networktool.h"

#include "core/blockinghttptool.h"
#include "core/stringtool.h"
#include "log/logger.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUdpSocket>

const char NetworkTool::kDefaultExternalIpUrl[] = "http://ip.tolvane.com/";
const char NetworkTool::kDefaultLocalIpProbe[] = "198.41.0.4"; // a root name server
const char NetworkTool::kDefaultPushServiceUrl[] = "https://push.tolvane.com";

namespace {
const Log::Logger kLog("NetworkTool");
const QString kNullHardwareAddress = QStringLiteral("00:00:00:00:00:00");

// Settings and remembered values of the GUI thread; see the class comment.
QString &externalIpUrlOverride()
{
    static QString url;
    return url;
}

struct Endpoint {
    QHostAddress address;
    quint16 port = 0;
};

Endpoint &localIpProbeOverride()
{
    static Endpoint endpoint;
    return endpoint;
}

QString &pushServiceUrlOverride()
{
    static QString url;
    return url;
}

QString &rememberedLocalAddress()
{
    static QString address;
    return address;
}

// "address" or "address:port" from the environment; a null address when unset or malformed.
Endpoint localIpProbeFromEnvironment()
{
    Endpoint endpoint;
    const QString text = qEnvironmentVariable("TOLVANE_LOCAL_IP_PROBE").trimmed();
    if (text.isEmpty())
        return endpoint;
    QString host = text;
    quint16 port = NetworkTool::kLocalProbeDefaultPort;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon > 0 && text.indexOf(QLatin1Char(':')) == colon) {
        bool ok = false;
        const uint value = text.mid(colon + 1).toUInt(&ok);
        if (!ok || value == 0 || value > 65535) {
            kLog.warn() << "TOLVANE_LOCAL_IP_PROBE has a bad port:" << text;
            return endpoint;
        }
        host = text.left(colon);
        port = quint16(value);
    }
    if (!endpoint.address.setAddress(host)) {
        kLog.warn() << "TOLVANE_LOCAL_IP_PROBE is not an address:" << text;
        endpoint.address.clear();
        return endpoint;
    }
    endpoint.port = port;
    return endpoint;
}

Endpoint localIpProbe()
{
    if (!localIpProbeOverride().address.isNull())
        return localIpProbeOverride();
    const Endpoint fromEnvironment = localIpProbeFromEnvironment();
    if (!fromEnvironment.address.isNull())
        return fromEnvironment;
    return {QHostAddress(QString::fromLatin1(NetworkTool::kDefaultLocalIpProbe)),
            NetworkTool::kLocalProbeDefaultPort};
}
} // namespace

QString NetworkTool::getExternalIPAddress()
{
    kLog.trace() << "static QString NetworkTool::getExternalIPAddress()";
    static QString rememberedBody;
    const int timeout =
        rememberedBody.isEmpty() ? kExternalLookupTimeout : kExternalLookupRepeatTimeout;
    QString body = QString::fromUtf8(BlockingHTTPTool::sget(externalIpUrl(), timeout));
    if (body.isEmpty())
        body = rememberedBody;
    rememberedBody = body;
    return StringTool::cutIpAddress(body);
}

QString NetworkTool::getLocalIPAddress()
{
    kLog.trace() << "static QString NetworkTool::getLocalIPAddress()";
    return localIPAddressFrom(getInterfacesInfo(false));
}

QString NetworkTool::localIPAddressFrom(const InterfaceMap &interfaces)
{
    if (interfaces.size() == 1) {
        rememberedLocalAddress() = interfaces.first().address().toString();
        return rememberedLocalAddress();
    }
    return rememberProbedAddress(probeLocalAddress());
}

QHostAddress NetworkTool::probeLocalAddress()
{
    const Endpoint probe = localIpProbe();
    QTcpSocket socket;
    socket.connectToHost(probe.address.toString(), probe.port, QIODevice::ReadWrite,
                         QAbstractSocket::AnyIPProtocol);
    QHostAddress found;
    if (socket.waitForConnected(kLocalProbeTimeout))
        found = socket.localAddress();
    socket.abort();
    return found;
}

QString NetworkTool::rememberProbedAddress(const QHostAddress &found)
{
    if (!found.isNull() && found != QHostAddress(QHostAddress::LocalHost)) {
        rememberedLocalAddress() = found.toString();
    } else {
        kLog.warn() << "Cannot find local ip. Found ip =" << found.toString();
        rememberedLocalAddress().clear();
    }
    return rememberedLocalAddress();
}

void NetworkTool::setExternalIpUrl(const QString &url)
{
    kLog.trace() << "static void NetworkTool::setExternalIpUrl(const QString&)" << url;
    externalIpUrlOverride() = url;
}

QString NetworkTool::externalIpUrl()
{
    if (!externalIpUrlOverride().isEmpty())
        return externalIpUrlOverride();
    const QString fromEnvironment = qEnvironmentVariable("TOLVANE_EXTERNAL_IP_URL").trimmed();
    return fromEnvironment.isEmpty() ? QString::fromLatin1(kDefaultExternalIpUrl)
                                     : fromEnvironment;
}

void NetworkTool::setLocalIpProbe(const QHostAddress &address, quint16 port)
{
    kLog.trace() << "static void NetworkTool::setLocalIpProbe(const QHostAddress&, quint16)"
                 << address << port;
    localIpProbeOverride() = {address, port};
}

QHostAddress NetworkTool::localIpProbeAddress()
{
    return localIpProbe().address;
}

quint16 NetworkTool::localIpProbePort()
{
    return localIpProbe().port;
}

void NetworkTool::setPushServiceUrl(const QString &url)
{
    kLog.trace() << "static void NetworkTool::setPushServiceUrl(const QString&)" << url;
    pushServiceUrlOverride() = url;
}

QString NetworkTool::pushServiceUrl()
{
    return pushServiceUrlOverride().isEmpty() ? QString::fromLatin1(kDefaultPushServiceUrl)
                                              : pushServiceUrlOverride();
}

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

QString NetworkTool::getInterfaceInfoString(const NetworkInterfaceInfo &info)
{
    return QStringLiteral("NAME:%1 IP:%2 MAC:%3;")
        .arg(info.name(), info.address().toString(), info.hardwareAddress());
}

QString NetworkTool::getInterfacesInfoString(bool allInterfaces)
{
    return interfacesInfoStringFrom(getInterfacesInfo(allInterfaces));
}

QString NetworkTool::interfacesInfoStringFrom(const InterfaceMap &interfaces)
{
    QString text;
    int number = 0;
    for (const NetworkInterfaceInfo &info : interfaces) {
        text += QStringLiteral("%1) NAME:%2 IP:%3 MAC:%4;")
                    .arg(QString::number(++number), info.name(), info.address().toString(),
                         info.hardwareAddress());
        text += QLatin1Char('\t');
    }
    return text;
}

NetworkTool::InterfaceMap NetworkTool::getInterfacesInfoFromString(const QString &text)
{
    // Non-greedy name: with several entries in one text a greedy one would swallow them all.
    static const QRegularExpression entry(
        QStringLiteral("NAME:(.*?) IP:([0-9\\.\\-:]*) MAC:([A-Za-z0-9\\-:]*);"));
    InterfaceMap map;
    for (auto it = entry.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        map.insert(match.captured(1), NetworkInterfaceInfo(match.captured(1),
                                                           QHostAddress(match.captured(2)),
                                                           match.captured(3)));
    }
    return map;
}

NetworkInterfaceInfo NetworkTool::getInterfaceInfo(const QString &name)
{
    return interfaceInfoFrom(getInterfacesInfo(false), name);
}

NetworkInterfaceInfo NetworkTool::interfaceInfoFrom(const InterfaceMap &interfaces,
                                                    const QString &name)
{
    if (interfaces.isEmpty())
        return NetworkInterfaceInfo();
    if (name.isEmpty())
        return interfaces.first();
    return interfaces.value(name);
}

NetworkInterfaceInfo NetworkTool::getInterfaceInfoByIp(const QString &ip)
{
    return interfaceInfoByIpFrom(getInterfacesInfo(false), ip);
}

NetworkInterfaceInfo NetworkTool::interfaceInfoByIpFrom(const InterfaceMap &interfaces,
                                                        const QString &ip)
{
    if (interfaces.isEmpty())
        return NetworkInterfaceInfo();
    if (ip.isEmpty())
        return interfaces.first();
    for (const NetworkInterfaceInfo &info : interfaces) {
        if (info.address().toString() == ip)
            return info;
    }
    return NetworkInterfaceInfo();
}

QByteArray NetworkTool::magicPacket(const QString &mac)
{
    QString digits = mac;
    digits.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{12}$"));
    if (!hex.match(digits).hasMatch())
        return QByteArray();
    const QByteArray address = QByteArray::fromHex(digits.toLatin1());
    QByteArray packet(6, char(0xFF));
    for (int i = 0; i < 16; ++i)
        packet += address;
    return packet;
}

bool NetworkTool::wake(const QString &mac, const QHostAddress &address, quint16 port)
{
    kLog.trace() << "static bool NetworkTool::wake(const QString&, const QHostAddress&, quint16)"
                 << mac << address << port;
    const QByteArray packet = magicPacket(mac);
    if (packet.isEmpty()) {
        kLog.warn() << "not a MAC address:" << mac;
        return false;
    }
    QUdpSocket socket;
    return socket.writeDatagram(packet, address, port) == packet.size();
}

void NetworkTool::awakeAndroid(const QString &serviceKey, const QString &registrationId)
{
    kLog.trace() << "static void NetworkTool::awakeAndroid(const QString&, const QString&)";
    // The manager and its reply go together once the reply has finished.
    auto *manager = new QNetworkAccessManager;
    QNetworkRequest request(QUrl(pushServiceUrl() + QStringLiteral("/gcm/send")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", "key=" + serviceKey.toUtf8());
    const QJsonObject message{{QStringLiteral("registration_ids"), QJsonArray{registrationId}}};
    QNetworkReply *reply =
        manager->post(request, QJsonDocument(message).toJson(QJsonDocument::Compact));
    QObject::connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
}

bool NetworkTool::isSamePrivateNetworkSpace(const char *first, const char *second)
{
    if (!first || !second)
        return false;
    const QHostAddress a(QString::fromLatin1(first));
    const QHostAddress b(QString::fromLatin1(second));
    if (a.protocol() != QAbstractSocket::IPv4Protocol
        || b.protocol() != QAbstractSocket::IPv4Protocol) {
        return false;
    }
    static const QPair<QHostAddress, int> blocks[] = {
        QHostAddress::parseSubnet(QStringLiteral("10.0.0.0/8")),
        QHostAddress::parseSubnet(QStringLiteral("172.16.0.0/12")),
        QHostAddress::parseSubnet(QStringLiteral("192.168.0.0/16")),
    };
    for (const auto &block : blocks) {
        if (a.isInSubnet(block) && b.isInSubnet(block))
            return true;
    }
    return false;
}
