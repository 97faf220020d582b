#pragma once

#include "homebridge/registryaccessmanager.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

// Reports the installation to the registry once per UTC day: a random identifier of the
// installation, kept in the native settings, goes out with the kind of application. The first
// report goes out when the object is built, unless one already succeeded on the current UTC day;
// later ones shortly after each UTC midnight at a random minute; a failed one is retried.
class UsageStatistics : public QObject
{
    Q_OBJECT
public:
    enum ApplicationType {
        kClient = 0,  // sent as "client"
        kConnect = 1, // sent as "connect"
    };

    static constexpr int kRetryIntervalMs = 300000;

    // The current UTC time; tests replace it (an empty function restores the real clock).
    using Clock = std::function<QDateTime()>;
    static void setClock(Clock clock);
    // For tests: the minute past 00:00 UTC of every daily report planned from now on; -1 (the
    // default) picks one at random each time.
    static void setSendingMinute(int minute);

    UsageStatistics(const QString &applicationName, ApplicationType type,
                    QObject *parent = nullptr);
    // Stops the timer; a report still in flight is aborted and freed.
    ~UsageStatistics() override;

    // For tests: the pause before a failed report is sent again.
    void setRetryInterval(int ms) { m_retryIntervalMs = ms; }
    // Null while no daily report is planned (before the first plan, and while a retry is due).
    QDateTime nextSendingTime() const { return m_nextSendingTime; }
    // The time the timer was last started with, in milliseconds.
    int timerInterval() const { return m_timer.interval(); }
    bool isTimerActive() const { return m_timer.isActive(); }

public Q_SLOTS:
    void tryToSendUuid();
    void handleRegistryReply();

private:
    void startStatistics();
    // The timer fired: a retry goes out; a daily report only once it is due by the wall clock.
    void handleTimeout();
    // Sends the report, or, after a successful one on today's UTC date, plans tomorrow's.
    void sendUnlessSentToday();
    bool isUuidExistsInSettings() const;
    QString readUuidFromSettings() const;
    static QString createUuid();
    // Stores the identifier under "ApplicationUUID".
    void writeUuidToSettings();
    // "LastUpdated" as an ISO time in UTC; invalid when missing or unreadable.
    QDateTime readSettingsLastUpdatedDateTime() const;
    QString readSettingsLastUpdatedDateTimeString() const;
    // Records the current UTC time as the time of the last successful report.
    void updateLastUpdatedDateTimeSettings();
    void writeUpdatedDateTimeToSettings(const QString &value);
    void sendUuidToRegistry();
    QString applicationTypeString() const;
    void planResendUuid();
    void planResendUuidTomorrow();
    QDateTime getNextSendingDateTime() const;
    static int getRandomTime();
    bool isGivenDateToday(const QDateTime &time) const;
    bool isGivenDateTomorrow(const QDateTime &time) const;
    static QDateTime now();
    // Stores one value of the native settings and logs an error when it could not be written.
    void writeToSettings(const QString &key, const QString &value) const;

    const QString m_organizationName;
    const QString m_applicationName;
    const ApplicationType m_applicationType;
    QString m_uuid;
    // The last successful report, as stored under "LastUpdated"; invalid when none is known.
    QDateTime m_lastUpdated;
    QDateTime m_nextSendingTime;
    QTimer m_timer;
    int m_retryIntervalMs = kRetryIntervalMs;
    TolvaneMail::RegistryAccessManager m_registry;
};
