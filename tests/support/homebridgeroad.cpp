#include "support/homebridgeroad.h"

#include "core/networktool.h"
#include "homebridge/json.h"
#include "relay/v2/connectionmanager.h"
#include "settings/settingsprovider.h"
#include "settings/ssldata.h"
#include "support/certificatefactory.h"

#include <QDir>

namespace TestSupport {

const QHostAddress HomeBridgeRoad::kLanAddress(QStringLiteral("127.0.0.3"));
const QHostAddress HomeBridgeRoad::kInternetAddress(QStringLiteral("127.0.0.2"));
const QHostAddress HomeBridgeRoad::kRelayAddress(QStringLiteral("127.0.0.4"));

bool HomeBridgeRoad::start(const QString &configDir)
{
    if (!phone.start() || !lan.listen(kLanAddress) || !internet.listen(kInternetAddress) ||
        !relay.listen(kRelayAddress) || !registry.start() || !echo.listenHttp())
        return false;
    for (RelayServerStandIn *endpoint : {&lan, &internet}) {
        endpoint->serveLocally(Relay::kServicePOP3, phone.pop3()->port());
        endpoint->serveLocally(Relay::kServiceSMTP, phone.smtp()->port());
        endpoint->serveLocally(Relay::kServicePMTP, phone.pmtp()->port());
    }
    phone.connectToRelay(kRelayAddress, relay.port());
    const quint64 sessionId = phone.waitForSession();
    if (sessionId == 0 || !QDir().mkpath(configDir) ||
        CertificateFactory::writeRegistryConfig(configDir, registry.port()).isEmpty())
        return false;
    SettingsProvider::setConfigDir(configDir);
    SettingsProvider::drop();
    SslData::drop();
    echo.setDefaultResponse(HttpStubServer::Response::ok(kInternetAddress.toString().toLatin1()));
    NetworkTool::setExternalIpUrl(echo.url());

    HBDInfo &info = record.info();
    info.Certificate = CertificateFactory::localService().certificate;
    info.ExternalIP = kInternetAddress.toString();
    info.LocalIP = kLanAddress.toString();
    info.Addressable = true;
    info.Relay2 = {kRelayAddress.toString(), relay.port(), QString::number(sessionId)};
    HBDServiceSettings &relayService = record.settings().RelayServer;
    relayService.LocalPort = lan.port();
    relayService.ExternalPort = internet.port();
    relayService.Version = 2;
    registry.setDefaultAnswer(RegistryAnswer::reply(findReply(record)));
    return true;
}

HomeBridgeData HomeBridgeRoad::directRecord() const
{
    HomeBridgeData direct;
    direct.info().Certificate = CertificateFactory::localService().certificate;
    direct.info().Host = QStringLiteral("127.0.0.1");
    direct.settings().Incoming.Host = QStringLiteral("127.0.0.1");
    direct.settings().Incoming.LocalPort = 1;
    direct.settings().Incoming.ExternalPort = phone.pop3()->port();
    direct.settings().Outgoing.LocalPort = phone.smtp()->port();
    direct.settings().Tolvane.ExternalPort = phone.pmtp()->port();
    return direct;
}

QByteArray HomeBridgeRoad::findReply(const HomeBridgeData &record, const QByteArray &fields)
{
    QVariantMap root = Json::parse(QString::fromUtf8(record.json())).toMap();
    QVariantMap info = root.value(QStringLiteral("Info")).toMap();
    const HBDRelay &relay2 = record.info().Relay2;
    info.insert(QStringLiteral("Relay2"),
                QVariantMap{{QStringLiteral("Address"), relay2.Address},
                            {QStringLiteral("Port"), int(relay2.Port)},
                            {QStringLiteral("SessionID"), relay2.SessionID}});
    root.insert(QStringLiteral("Info"), info);
    return RegistryStandIn::findReply(Json::serialize(root), fields);
}

} // namespace TestSupport
