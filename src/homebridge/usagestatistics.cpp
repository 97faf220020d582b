#include "homebridge/usagestatistics.h"

#include "homebridge/registryconstants.h"
#include "homebridge/registryreply.h"
#include "log/logger.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QUuid>
#include <limits>

using namespace TolvaneMail;

namespace {

const Log::Logger kLog("UsageStatistics");

const char kOrganizationName[] = "Tolvane";
const QLatin1String kUuidKey("ApplicationUUID");
const QLatin1String kLastUpdatedKey("LastUpdated");

UsageStatistics::Clock &clockOverride()
{
    static UsageStatistics::Clock clock;
    return clock;
}

int s_sendingMinute = -1;

} // namespace

void UsageStatistics::setClock(Clock clock)
{
    clockOverride() = std::move(clock);
}

void UsageStatistics::setSendingMinute(int minute)
{
    s_sendingMinute = minute;
}

QDateTime UsageStatistics::now()
{
    return clockOverride() ? clockOverride()().toUTC() : QDateTime::currentDateTimeUtc();
}

UsageStatistics::UsageStatistics(const QString &applicationName, ApplicationType type,
                                 QObject *parent)
    : QObject(parent), m_organizationName(QString::fromLatin1(kOrganizationName)),
      m_applicationName(applicationName), m_applicationType(type)
{
    kLog.trace(this) << Q_FUNC_INFO;
    m_timer.setSingleShot(true);
    // A coarse timer of this length fires on a whole second, up to half a second early, only to
    // be started again for the rest.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kRetryIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &UsageStatistics::handleTimeout);
    startStatistics();
}

UsageStatistics::~UsageStatistics()
{
    kLog.trace(this) << Q_FUNC_INFO;
    m_timer.stop();
    // A report in flight is a child: deleting it here aborts its exchange before anything of
    // this object is gone.
    qDeleteAll(findChildren<RegistryReply *>(QString(), Qt::FindDirectChildrenOnly));
}

void UsageStatistics::startStatistics()
{
    const bool exists = isUuidExistsInSettings();
    if (exists) {
        kLog.debug(this) << "Application's UUID exists in Settings";
        m_uuid = readUuidFromSettings();
    } else {
        kLog.debug(this) << "Application's UUID doesn't exist in Settings";
    }

    if (m_uuid.isEmpty()) {
        // An empty identifier could never be reported; it is replaced like a missing one.
        if (exists)
            kLog.warn(this) << "Application's UUID in Settings is empty. Create it.";
        else
            kLog.debug(this) << "No application's UUID in Settings. Create it.";
        m_uuid = createUuid();
        writeUuidToSettings();
        tryToSendUuid();
        return;
    }

    m_lastUpdated = readSettingsLastUpdatedDateTime();
    kLog.debug(this) << "Last UUID updated in Registry time:"
                     << m_lastUpdated.toString(Qt::ISODate);
    sendUnlessSentToday();
}

void UsageStatistics::handleTimeout()
{
    if (m_nextSendingTime.isNull()) {
        tryToSendUuid();
        return;
    }
    // The timer counts on the monotonic clock, the plan on the wall clock: a clock stepped back
    // or a timer firing early leaves the report not yet due.
    const qint64 left = now().msecsTo(m_nextSendingTime);
    if (left > 0) {
        kLog.debug(this) << "UUID not due before" << m_nextSendingTime.toString(Qt::ISODate)
                         << "waiting" << left << "ms more";
        m_timer.start(int(qMin<qint64>(left, std::numeric_limits<int>::max())));
        return;
    }
    sendUnlessSentToday();
}

void UsageStatistics::sendUnlessSentToday()
{
    if (isGivenDateToday(m_lastUpdated)) {
        kLog.debug(this) << "Application's UUID already updated today at:"
                         << m_lastUpdated.toString(Qt::ISODate);
        planResendUuidTomorrow();
        return;
    }
    tryToSendUuid();
}

bool UsageStatistics::isUuidExistsInSettings() const
{
    return QSettings(m_organizationName, m_applicationName).contains(kUuidKey);
}

QString UsageStatistics::readUuidFromSettings() const
{
    return QSettings(m_organizationName, m_applicationName).value(kUuidKey).toString();
}

QString UsageStatistics::createUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

void UsageStatistics::writeUuidToSettings()
{
    kLog.debug(this) << "Writing Application's UUID to Settings";
    kLog.debug(this) << "Application's UUID:" << m_uuid;
    writeToSettings(kUuidKey, m_uuid);
}

QDateTime UsageStatistics::readSettingsLastUpdatedDateTime() const
{
    QDateTime time = QDateTime::fromString(readSettingsLastUpdatedDateTimeString(), Qt::ISODate);
    // A time written without an offset is UTC.
    if (time.timeSpec() == Qt::LocalTime)
        time.setTimeSpec(Qt::UTC);
    return time.toUTC();
}

QString UsageStatistics::readSettingsLastUpdatedDateTimeString() const
{
    return QSettings(m_organizationName, m_applicationName).value(kLastUpdatedKey).toString();
}

void UsageStatistics::updateLastUpdatedDateTimeSettings()
{
    m_lastUpdated = now();
    const QString value = m_lastUpdated.toString(Qt::ISODate);
    kLog.debug(this) << "Writing Application's UUID last updated time to Settings:" << value;
    writeUpdatedDateTimeToSettings(value);
}

void UsageStatistics::writeUpdatedDateTimeToSettings(const QString &value)
{
    writeToSettings(kLastUpdatedKey, value);
}

void UsageStatistics::writeToSettings(const QString &key, const QString &value) const
{
    QSettings settings(m_organizationName, m_applicationName);
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        kLog.error(this) << "Cannot write" << key << "to Settings" << settings.fileName()
                         << "status:" << settings.status();
    }
}

void UsageStatistics::tryToSendUuid()
{
    kLog.trace(this) << Q_FUNC_INFO;
    kLog.debug(this) << "Trying to send Application's UUID to Registry";
    sendUuidToRegistry();
}

void UsageStatistics::sendUuidToRegistry()
{
    if (m_uuid.isEmpty())
        return;
    kLog.debug(this) << "Sending UUID to Registry";
    QVariantMap data;
    data.insert(RegistryConstants::kUID, m_uuid);
    data.insert(RegistryConstants::kDeviceType, applicationTypeString());
    RegistryReply *reply =
        m_registry.sendRequest(RegistryRequest(kStatDevice, data), kRegistryAsynchronous);
    // A child, so a report still in flight goes with this object.
    reply->setParent(this);
    connect(reply, &RegistryReply::finished, this, &UsageStatistics::handleRegistryReply);
    connect(reply, &RegistryReply::error, this, &UsageStatistics::handleRegistryReply);
}

void UsageStatistics::handleRegistryReply()
{
    kLog.trace(this) << Q_FUNC_INFO;
    auto *reply = qobject_cast<RegistryReply *>(sender());
    if (!reply) {
        kLog.error(this) << "RegistyReply pointer is null";
        return;
    }
    const RegistryReplyCodes code = reply->replyCode();
    const RegistryRequestType type = reply->requestType();
    reply->deleteLater();
    if (type != kStatDevice)
        return;

    if (code == kReplyOk) {
        kLog.debug(this) << "UUID updated on Registry";
        updateLastUpdatedDateTimeSettings();
        planResendUuidTomorrow();
        return;
    }
    kLog.error(this) << "Registry request to update usage satistics failed with code:" << code;
    planResendUuid();
}

QString UsageStatistics::applicationTypeString() const
{
    switch (m_applicationType) {
    case kClient:
        return QStringLiteral("client");
    case kConnect:
        return QStringLiteral("connect");
    }
    return QString();
}

void UsageStatistics::planResendUuid()
{
    // The retry takes the timer over from the planned daily report.
    m_nextSendingTime = QDateTime();
    m_timer.start(m_retryIntervalMs);
    kLog.warn(this) << "Resend UUID to Registry after" << m_retryIntervalMs / 1000 << "secs";
}

void UsageStatistics::planResendUuidTomorrow()
{
    // A report already planned for tomorrow keeps its minute.
    if (m_timer.isActive() && isGivenDateTomorrow(m_nextSendingTime))
        return;
    m_nextSendingTime = getNextSendingDateTime();
    m_timer.start(int(now().msecsTo(m_nextSendingTime)));
    kLog.debug(this) << "Plan send UUID to Registry tomorrow. Next sending date:"
                     << m_nextSendingTime.toString(Qt::ISODate);
}

QDateTime UsageStatistics::getNextSendingDateTime() const
{
    return QDateTime(now().date().addDays(1), QTime(0, getRandomTime()), Qt::UTC);
}

int UsageStatistics::getRandomTime()
{
    if (s_sendingMinute >= 0)
        return s_sendingMinute;
    return int(QRandomGenerator::global()->bounded(60));
}

bool UsageStatistics::isGivenDateToday(const QDateTime &time) const
{
    return time.isValid() && time.toUTC().date() == now().date();
}

bool UsageStatistics::isGivenDateTomorrow(const QDateTime &time) const
{
    return time.isValid() && time.toUTC().date() == now().date().addDays(1);
}
