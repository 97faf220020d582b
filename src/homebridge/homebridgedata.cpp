#include "homebridge/homebridgedata.h"

#include "homebridge/json.h"
#include "log/logger.h"

#include <cmath>
#include <limits>

namespace {

const Log::Logger kLog("HomeBridgeData");

const QLatin1String kPemBegin("-----BEGIN CERTIFICATE-----");
const QLatin1String kPemEnd("-----END CERTIFICATE-----");

// A number of the record: the codec's numbers, or a string holding a decimal number; anything
// else is 0. Out-of-range values are clamped so the conversion itself is always defined.
qint64 toInteger(const QVariant &value)
{
    if (value.userType() == QMetaType::Double) {
        const double d = value.toDouble();
        if (!std::isfinite(d))
            return 0;
        if (d >= 9223372036854775807.0)
            return std::numeric_limits<qint64>::max();
        if (d <= -9223372036854775808.0)
            return std::numeric_limits<qint64>::min();
        return std::llround(d);
    }
    if (value.userType() == QMetaType::QString) {
        bool ok = false;
        const qint64 number = value.toString().toLongLong(&ok, 10);
        return ok ? number : 0;
    }
    return 0;
}

// Ports keep the low 16 bits of the number, as a record written by an older HomeBridge expects.
quint16 toPort(const QVariant &value)
{
    return static_cast<quint16>(static_cast<quint64>(toInteger(value)) & 0xffffu);
}

int toInt(const QVariant &value)
{
    const qint64 number = toInteger(value);
    if (number > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (number < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return static_cast<int>(number);
}

void readRelay(const QVariant &value, HBDRelay &relay)
{
    if (value.userType() != QMetaType::QVariantMap)
        return;
    const QVariantMap map = value.toMap();
    if (map.isEmpty())
        return;
    relay.Address = map.value(QStringLiteral("Address")).toString();
    relay.Port = toPort(map.value(QStringLiteral("Port")));
    relay.SessionID = map.value(QStringLiteral("SessionID")).toString();
}

QVariantMap writeRelay(const HBDRelay &relay)
{
    QVariantMap map;
    map.insert(QStringLiteral("Address"), relay.Address);
    map.insert(QStringLiteral("Port"), int(relay.Port));
    map.insert(QStringLiteral("SessionID"), relay.SessionID);
    return map;
}

enum ServiceFields { kPortsAndType = 0, kWithHost = 1, kWithVersion = 2 };

void readService(const QVariantMap &entry, HBDServiceSettings &service, ServiceFields fields)
{
    const QString localPort = QStringLiteral("LocalPort");
    service.LocalPort = toPort(entry.contains(localPort) ? entry.value(localPort)
                                                         : entry.value(QStringLiteral("Port")));
    service.ExternalPort = toPort(entry.value(QStringLiteral("ExternalPort")));
    service.setType(entry.value(QStringLiteral("Type")).toString());
    if (fields == kWithHost)
        service.Host = entry.value(QStringLiteral("Host")).toString();
    if (fields == kWithVersion) {
        const QString version = QStringLiteral("Version");
        service.Version = entry.contains(version) ? toInt(entry.value(version)) : 1;
    }
}

QVariantMap writeService(const HBDServiceSettings &service, ServiceFields fields)
{
    QVariantMap map;
    map.insert(QStringLiteral("LocalPort"), int(service.LocalPort));
    map.insert(QStringLiteral("Port"), int(service.LocalPort));
    map.insert(QStringLiteral("ExternalPort"), int(service.ExternalPort));
    map.insert(QStringLiteral("Type"), service.stringType());
    if (fields == kWithHost)
        map.insert(QStringLiteral("Host"), service.Host);
    if (fields == kWithVersion)
        map.insert(QStringLiteral("Version"), service.Version);
    return map;
}

QSslCertificate readCertificate(QString pem)
{
    if (!pem.startsWith(kPemBegin))
        pem.prepend(kPemBegin + QLatin1Char('\n'));
    if (!pem.endsWith(kPemEnd))
        pem.append(QLatin1Char('\n') + kPemEnd);
    return QSslCertificate(pem.toLatin1(), QSsl::Pem);
}

} // namespace

HomeBridgeData::HomeBridgeData() : d(new HomeBridgeDataShared) {}

HomeBridgeData::HomeBridgeData(const HomeBridgeData &other) = default;

HomeBridgeData &HomeBridgeData::operator=(const HomeBridgeData &other) = default;

HomeBridgeData &HomeBridgeData::operator=(HomeBridgeData &&other) noexcept = default;

HomeBridgeData::~HomeBridgeData() = default;

bool HomeBridgeData::hasRelay2() const
{
    const HBDRelay &relay = d->info.Relay2;
    return !relay.Address.isEmpty() && relay.Port > 0 && !relay.SessionID.isEmpty();
}

HomeBridgeData HomeBridgeData::fromJson(const QString &json, bool *ok)
{
    HomeBridgeData data;
    bool success = true;
    const QVariant parsed = Json::parse(json, success);
    if (ok)
        *ok = success;
    if (!success)
        return data;

    const QVariantMap root = parsed.toMap();
    const QVariantMap info = root.value(QStringLiteral("Info")).toMap();
    const QVariantMap settings = root.value(QStringLiteral("Settings")).toMap();
    const QVariantList interfaces = root.value(QStringLiteral("NetworkInterfaces")).toList();

    HBDInfo &hbInfo = data.info();
    hbInfo.Certificate = readCertificate(info.value(QStringLiteral("Certificate")).toString());
    hbInfo.Host = info.value(QStringLiteral("Host")).toString();
    hbInfo.ExternalIP = info.value(QStringLiteral("ExternalIP")).toString();
    hbInfo.LocalIP = info.value(QStringLiteral("LocalIP")).toString();
    hbInfo.Addressable = info.value(QStringLiteral("Addressable"), false).toBool();
    readRelay(info.value(QStringLiteral("Relay")), hbInfo.Relay);
    readRelay(info.value(QStringLiteral("Relay2")), hbInfo.Relay2);

    QList<HBDNetworkInterface> &list = data.networkInterfaces();
    for (const QVariant &element : interfaces) {
        const QVariantMap map = element.toMap();
        HBDNetworkInterface networkInterface;
        networkInterface.Name = QString::fromUtf8(
            QByteArray::fromBase64(map.value(QStringLiteral("Name")).toString().toLatin1()));
        networkInterface.IP = map.value(QStringLiteral("IP")).toString();
        networkInterface.MAC = map.value(QStringLiteral("MAC")).toString();
        list.append(networkInterface);
    }

    HBDSettings &hbSettings = data.settings();
    readService(settings.value(QStringLiteral("Incoming")).toMap(), hbSettings.Incoming, kWithHost);
    readService(settings.value(QStringLiteral("Outgoing")).toMap(), hbSettings.Outgoing, kWithHost);
    readService(settings.value(QStringLiteral("Tolvane")).toMap(), hbSettings.Tolvane, kPortsAndType);
    readService(settings.value(QStringLiteral("RelayServer")).toMap(), hbSettings.RelayServer,
                kWithVersion);
    readService(settings.value(QStringLiteral("WebMail")).toMap(), hbSettings.WebMail, kPortsAndType);
    // Older HomeBridges publish the web server under this misspelt key, and it is the one read.
    if (settings.contains(QStringLiteral("WebSever")))
        readService(settings.value(QStringLiteral("WebSever")).toMap(), hbSettings.WebServer,
                    kPortsAndType);
    if (settings.contains(QStringLiteral("Admin")))
        readService(settings.value(QStringLiteral("Admin")).toMap(), hbSettings.Admin, kPortsAndType);

    // "Android" is an older name of the phone section; it carries nothing we use.
    if (root.contains(QStringLiteral("Mobile")))
        data.mobile().OSType =
            root.value(QStringLiteral("Mobile")).toMap().value(QStringLiteral("OSType")).toString();

    return data;
}

QByteArray HomeBridgeData::json() const
{
    const HBDInfo &hbInfo = d->info;
    QVariantMap info;
    info.insert(QStringLiteral("Certificate"), QString::fromLatin1(hbInfo.Certificate.toPem()));
    info.insert(QStringLiteral("Host"), hbInfo.Host);
    info.insert(QStringLiteral("ExternalIP"), hbInfo.ExternalIP);
    info.insert(QStringLiteral("LocalIP"), hbInfo.LocalIP);
    info.insert(QStringLiteral("Addressable"), hbInfo.Addressable);
    if (!hbInfo.Addressable && !hbInfo.Relay.Address.isEmpty())
        info.insert(QStringLiteral("Relay"), writeRelay(hbInfo.Relay));
    if (!hbInfo.Addressable && !hbInfo.Relay2.Address.isEmpty())
        info.insert(QStringLiteral("Relay2"), writeRelay(hbInfo.Relay2));

    QVariantList interfaces;
    for (const HBDNetworkInterface &networkInterface : d->networkInterfaces) {
        QVariantMap map;
        map.insert(QStringLiteral("Name"), QString::fromLatin1(networkInterface.Name.toUtf8().toBase64()));
        map.insert(QStringLiteral("IP"), networkInterface.IP);
        map.insert(QStringLiteral("MAC"), networkInterface.MAC);
        interfaces.append(map);
    }

    const HBDSettings &hbSettings = d->settings;
    QVariantMap settings;
    settings.insert(QStringLiteral("Incoming"), writeService(hbSettings.Incoming, kWithHost));
    settings.insert(QStringLiteral("Outgoing"), writeService(hbSettings.Outgoing, kWithHost));
    settings.insert(QStringLiteral("Tolvane"), writeService(hbSettings.Tolvane, kPortsAndType));
    settings.insert(QStringLiteral("RelayServer"), writeService(hbSettings.RelayServer, kWithVersion));
    settings.insert(QStringLiteral("WebMail"), writeService(hbSettings.WebMail, kPortsAndType));
    if (hbSettings.WebServer.LocalPort != 0)
        settings.insert(QStringLiteral("WebServer"), writeService(hbSettings.WebServer, kPortsAndType));

    QVariantMap root;
    root.insert(QStringLiteral("Info"), info);
    root.insert(QStringLiteral("NetworkInterfaces"), interfaces);
    root.insert(QStringLiteral("Settings"), settings);
    if (!d->mobile.OSType.isNull()) {
        QVariantMap mobile;
        mobile.insert(QStringLiteral("OSType"), d->mobile.OSType);
        root.insert(QStringLiteral("Mobile"), mobile);
    }

    bool success = true;
    const QByteArray text = Json::serialize(root, success);
    if (kLog.isTrace())
        kLog.trace(this) << "json:" << text;
    return text;
}
