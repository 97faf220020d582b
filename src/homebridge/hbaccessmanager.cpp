#include "homebridge/hbaccessmanager.h"

#include "core/maildomain.h"
#include "core/networktool.h"
#include "homebridge/registryconstants.h"
#include "homebridge/registryreply.h"
#include "homebridge/registryreplyparser.h"
#include "log/logger.h"
#include "relay/v2/connectionmanager.h"

#include <QCoreApplication>
#include <QPointer>
#include <QVariantMap>

using namespace TolvaneMail;

namespace {
const Log::Logger kLog("HBAccessManager");

const char kLocalHost[] = "127.0.0.1";

// A service's port: the external one, or the local one when the record gives no external port.
quint16 servicePort(const HBDServiceSettings &service)
{
    return service.ExternalPort != 0 ? service.ExternalPort : service.LocalPort;
}
} // namespace

HBAccessManager::HBAccessManager(QObject *parent)
    : QObject(parent), m_connectionManager(m_finder.connectionManager())
{
    m_accountType = kAccountUndetermined;
    reset();
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(kRetryInterval);
    connect(&m_retryTimer, &QTimer::timeout, this, &HBAccessManager::tryConnecting);
    connect(&m_finder, &Relay::RelayConnectionHelper::found, this, &HBAccessManager::onFound);
    connect(&m_finder, &Relay::RelayConnectionHelper::failed, this, &HBAccessManager::onFailed);
}

HBAccessManager::~HBAccessManager()
{
    disconnect(&m_finder, nullptr, this, nullptr);
    disconnect(m_connectionManager, nullptr, this, nullptr);
    disconnect(&m_retryTimer, nullptr, this, nullptr);
    delete m_pendingReply;
}

void HBAccessManager::connectToHomeBridge(const QString &address, bool withPMTP)
{
    kLog.trace(this) << Q_FUNC_INFO << address << withPMTP;
    reset();
    m_withPMTP = withPMTP;
    m_userAddress = address.trimmed();
    m_retryTimer.start(0);
}

void HBAccessManager::disconnectFromHomeBridge()
{
    kLog.debug(this) << Q_FUNC_INFO;
    reset();
}

QString HBAccessManager::pop3Address() const
{
    if (!m_direct)
        return QString::fromLatin1(kLocalHost);
    return m_pop3Host.isEmpty() ? m_homeBridgeHost : m_pop3Host;
}

QString HBAccessManager::smtpAddress() const
{
    if (!m_direct)
        return QString::fromLatin1(kLocalHost);
    return m_smtpHost.isEmpty() ? m_homeBridgeHost : m_smtpHost;
}

QString HBAccessManager::pmtpAddress() const
{
    return m_direct ? m_homeBridgeHost : QString::fromLatin1(kLocalHost);
}

bool HBAccessManager::isConnected() const
{
    return m_recordAccepted && m_connectionManager->isConnected();
}

void HBAccessManager::reset()
{
    ++m_generation;
    m_retryTimer.stop();
    if (m_pendingReply) {
        if (m_pendingReply->isInProgress())
            m_pendingReply->abort();
        delete m_pendingReply;
        m_pendingReply = nullptr;
    }
    m_pop3Port = 0;
    m_smtpPort = 0;
    m_pmtpPort = 0;
    m_accountType = kAccountUndetermined;
    m_direct = false;
    m_recordAccepted = false;
    m_homeBridgeHost.clear();
    m_smtpHost.clear();
    m_pop3Host.clear();
    m_userAddress.clear();
    m_record = HomeBridgeData();
    m_relayUpTime.invalidate();
    setState(kIdle);
    clearConnection();
    m_finder.clear();
}

void HBAccessManager::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void HBAccessManager::clearConnection()
{
    // Dropping the connection on purpose is not a lost connection.
    disconnect(m_connectionManager, &Relay::ConnectionManager::disconnected, this,
               &HBAccessManager::onDisconnectedFromRelay);
    disconnect(m_connectionManager, &Relay::ConnectionManager::sessionClosed, this,
               &HBAccessManager::onSessionClosed);
    if (m_connectionManager->isConnected())
        m_connectionManager->disconnectFromRelay();
}

void HBAccessManager::arrangeRetry(int msec)
{
    const int interval = msec != 0 ? msec : m_retryInterval;
    m_retryTimer.setInterval(interval);
    kLog.trace(this) << "arrange retry after" << interval << "msec";
    m_retryTimer.start();
}

void HBAccessManager::tryConnecting()
{
    kLog.trace(this) << Q_FUNC_INFO;
    if (m_userAddress.isEmpty() || m_pendingReply)
        return;
    QVariantMap data;
    data.insert(RegistryConstants::kName, m_userAddress);
    m_pendingReply =
        m_registry.sendRequest(RegistryRequest(kHomeBridgeFind, data), kRegistryAsynchronous);
    if (m_registryTimeout > 0) {
        m_pendingReply->setDataTimeout(m_registryTimeout);
        m_pendingReply->setExchangeTimeout(m_registryTimeout);
    }
    connect(m_pendingReply, &RegistryReply::finished, this, &HBAccessManager::handleRegistryReply);
    connect(m_pendingReply, &RegistryReply::error, this, &HBAccessManager::handleRegistryReply);
}

void HBAccessManager::handleRegistryReply()
{
    kLog.trace(this) << Q_FUNC_INFO;
    if (!m_pendingReply || sender() != m_pendingReply)
        return;
    RegistryReply *reply = m_pendingReply;
    m_pendingReply = nullptr;
    const RegistryReplyCodes code = reply->replyCode();
    const RegistryRequestType type = reply->requestType();
    const QString text = reply->getReply();
    reply->deleteLater();
    if (type != kHomeBridgeFind)
        return;

    // Slots of the signals below, and the nested event loop of the address lookup, may reset
    // this manager or destroy it; the attempt then stops without another word.
    const QPointer<HBAccessManager> self(this);
    const quint64 generation = m_generation;
    const auto superseded = [&self, generation] {
        return !self || self->m_generation != generation;
    };

    if (code != kReplyOk) {
        kLog.error(this) << "Registry request failed message - \"" << text << "\"";
        if (code == kReplyFailedNotExists) {
            Q_EMIT error(kAccountNotFound, errorString(kAccountNotFound, false));
            if (!superseded())
                reset();
            return;
        }
        kLog.error(this) << "Failed connecting to HomeBridge will retry in " << m_retryInterval
                         << "ms";
        arrangeRetry(0);
        Q_EMIT error(kRegistryFailed, errorString(kRegistryFailed, false));
        return;
    }

    const QVariantMap fields = RegistryReplyParser::parse(kHomeBridgeFind, text).toMap();
    // A reply without DATA carries an empty record text, which fails to parse like "DATA=" alone;
    // a null text would read as a record.
    QString recordText = QString::fromUtf8(fields.value(RegistryConstants::kData).toByteArray());
    if (recordText.isNull())
        recordText = QLatin1String("");
    kLog.debug(this) << "HomeBridge found data=" << recordText;

    readTier(fields);
    if (!m_direct) {
        m_lapsedTime = fields.value(RegistryConstants::kLapsed).toInt();
        if (m_lapsedTime > kLapsedLimit) {
            arrangeRetry(0);
            Q_EMIT error(kRecordLapsed, errorString(kRecordLapsed, false));
            return;
        }
    }

    bool parsed = false;
    m_record = HomeBridgeData::fromJson(recordText, &parsed);
    if (!parsed || (m_direct && !takeDirectServices())) {
        kLog.error(this) << (parsed ? "The record names no host or no port of a service"
                                    : "The record cannot be read");
        arrangeRetry(0);
        Q_EMIT error(kInvalidRecord, errorString(kInvalidRecord, false));
        return;
    }

    m_recordAccepted = true;
    Q_EMIT found();
    if (superseded())
        return;

    if (!m_direct) {
        const QString externalIP = NetworkTool::getExternalIPAddress();
        if (superseded())
            return;
        m_finder.setHomeBridgeData(m_record);
        m_finder.setExternalIP(externalIP);
        m_finder.findBestConnection();
        return;
    }

    m_connectionType = kPro;
    setState(kDirect);
    if (superseded())
        return;
    Q_EMIT connected();
}

void HBAccessManager::readTier(const QVariantMap &fields)
{
    m_lapsedTime = 0;
    m_direct = false;
    m_accountType = kAccountDynamic;
    // An address outside the service's own domain is served directly.
    const QStringList parts = m_userAddress.split(QLatin1Char('@'));
    if (parts.size() == 2) {
        m_homeBridgeHost = parts.at(1);
        if (m_homeBridgeHost != QLatin1String(kMailDomain)) {
            m_direct = true;
            m_accountType = kAccountPro;
        }
    }
    m_platform = fields.value(RegistryConstants::kDeviceType).toString();
    const QString hipaa =
        fields.value(RegistryConstants::kHipaa, QStringLiteral("false")).toString();
    if (m_platform == QLatin1String("pro")) {
        m_direct = true;
        m_accountType = hipaa == QLatin1String("true") ? kAccountHipaa : kAccountPro;
    }
}

bool HBAccessManager::takeDirectServices()
{
    const HBDInfo &info = m_record.info();
    const HBDSettings &settings = m_record.settings();
    const QString host = info.Host.isEmpty() ? info.ExternalIP : info.Host;
    const quint16 pop3Port = servicePort(settings.Incoming);
    const quint16 smtpPort = servicePort(settings.Outgoing);
    const quint16 pmtpPort = m_withPMTP ? servicePort(settings.Tolvane) : 0;
    if ((host.isEmpty() &&
         (settings.Incoming.Host.isEmpty() || settings.Outgoing.Host.isEmpty() || m_withPMTP)) ||
        pop3Port == 0 || smtpPort == 0 || (m_withPMTP && pmtpPort == 0))
        return false;
    m_homeBridgeHost = host;
    m_smtpHost = settings.Outgoing.Host;
    m_smtpPort = smtpPort;
    m_pop3Host = settings.Incoming.Host;
    m_pop3Port = pop3Port;
    m_adminHost = settings.Admin.Host.isEmpty() ? info.Host : settings.Admin.Host;
    m_adminPort = servicePort(settings.Admin);
    m_pmtpPort = pmtpPort;
    return true;
}

void HBAccessManager::onFound()
{
    kLog.trace(this) << Q_FUNC_INFO;
    m_connectionType = m_finder.currentConnectionType();
    const quint64 sessionId = m_finder.relaySessionId();
    m_pop3Port = m_connectionManager->addForward(sessionId, Relay::kServicePOP3);
    m_smtpPort = m_connectionManager->addForward(sessionId, Relay::kServiceSMTP);
    if (m_withPMTP)
        m_pmtpPort = m_connectionManager->addForward(sessionId, Relay::kServicePMTP);
    if (m_pop3Port == 0 || m_smtpPort == 0 || (m_withPMTP && m_pmtpPort == 0)) {
        // A port 0 would send the mail client nowhere: this path cannot be used.
        kLog.error(this) << "No local port for a forward to the HomeBridge";
        m_pop3Port = m_smtpPort = m_pmtpPort = 0;
        clearConnection();
        failConnection();
        return;
    }
    connect(m_connectionManager, &Relay::ConnectionManager::disconnected, this,
            &HBAccessManager::onDisconnectedFromRelay, Qt::UniqueConnection);
    if (m_connectionType == kRelay) {
        connect(m_connectionManager, &Relay::ConnectionManager::sessionClosed, this,
                &HBAccessManager::onSessionClosed, Qt::UniqueConnection);
        m_connectionManager->watch(sessionId);
    }
    m_relayUpTime.start();
    Q_EMIT connected();
}

void HBAccessManager::onFailed()
{
    kLog.trace(this) << Q_FUNC_INFO;
    failConnection();
}

void HBAccessManager::failConnection()
{
    arrangeRetry(0);
    kLog.error(this) << "Failed connecting to HomeBridge will retry in " << m_retryInterval << "ms";
    const bool direct = m_accountType == kAccountPro || m_accountType == kAccountHipaa;
    Q_EMIT error(kConnectionFailed, errorString(kConnectionFailed, direct));
}

void HBAccessManager::onSessionClosed(qulonglong sessionId)
{
    kLog.trace(this) << Q_FUNC_INFO << sessionId;
    if (sessionId == m_finder.relaySessionId())
        m_connectionManager->disconnectFromRelay();
}

void HBAccessManager::onDisconnectedFromRelay()
{
    kLog.debug(this) << "disconnected from relay";
    const bool upLongEnough =
        m_relayUpTime.isValid() && m_relayUpTime.elapsed() >= m_reconnectThreshold;
    clearConnection();
    const QPointer<HBAccessManager> self(this);
    const quint64 generation = m_generation;
    setState(kRelayLost);
    if (!self || m_generation != generation)
        return;
    if (upLongEnough)
        m_retryTimer.start(0);
    else
        arrangeRetry(0);
    Q_EMIT disconnected();
}

QString errorString(HBAccessManager::ErrorCode errorCode, bool shortText)
{
    static const char *const kLong = "Connection to email server\n"
                                     "cannot be established. Please check your\n"
                                     "Internet connection and make sure that\n"
                                     "our application is running on your phone.\n"
                                     "Note: keep in mind that your mobile phone is\n"
                                     "your own email server; the application\n"
                                     "should always be running to send/receive emails";
    static const char *const kShort = "Connection to email server\n"
                                      "cannot be established. Please check your\n"
                                      "Internet connection";
    switch (errorCode) {
    case HBAccessManager::kAccountNotFound:
        return QCoreApplication::translate("QObject", "Incorrect username and/or password");
    case HBAccessManager::kRecordLapsed:
        return QCoreApplication::translate("QObject", kLong);
    case HBAccessManager::kHomeBridgeTooOld:
        return QCoreApplication::translate(
            "QObject",
            "Your TolvaneMail Server is not up to date! Please update your TolvaneMail server.");
    case HBAccessManager::kInvalidRecord:
        return QCoreApplication::translate("QObject",
                                           "Something was wrong with getting TolvaneMail "
                                           "settings. Please, check your internet connection.");
    case HBAccessManager::kRegistryFailed:
        return QCoreApplication::translate("QObject", kShort);
    case HBAccessManager::kConnectionFailed:
        return QCoreApplication::translate("QObject", shortText ? kShort : kLong);
    }
    return QString();
}
