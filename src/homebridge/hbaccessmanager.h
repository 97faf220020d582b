#pragma once

#include "homebridge/accounttypelookup.h"
#include "homebridge/connectiontype.h"
#include "homebridge/homebridgedata.h"
#include "homebridge/registryaccessmanager.h"
#include "homebridge/relayconnectionhelper.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

namespace TolvaneMail {
class RegistryReply;
}
namespace Relay {
class ConnectionManager;
}

// One account's way to its HomeBridge: asks the registry for the HomeBridge's record, then takes
// the mail ports straight from the record (direct, the Pro case) or lets the endpoint finder open
// a relay connection and offers the "POP3", "SMTP" and "PMTP" services as forwards on 127.0.0.1.
// Every transient failure is retried after kRetryInterval; a lost relay connection is looked up
// again at once when it had been up for a while.
//
// The tier lookup of any address (checkAccountType and its predicates) and the AccountType names
// come from AccountTypeLookup, so callers reach them through this class.
//
// Every reset (connect, disconnect, destruction) supersedes the attempt in progress: nothing of
// it is reported afterwards, also when the reset happens inside the external-address lookup.
class HBAccessManager : public QObject, public TolvaneMail::AccountTypeLookup
{
    Q_OBJECT
public:
    enum ErrorCode {
        kAccountNotFound = 0,
        kRecordLapsed = 1,
        kHomeBridgeTooOld = 2,
        kInvalidRecord = 3,
        kRegistryFailed = 4,
        kConnectionFailed = 5,
    };
    Q_ENUM(ErrorCode)

    enum State {
        kIdle = 0,
        kRelayLost = 1,
        kDirect = 2,
    };
    Q_ENUM(State)

    static constexpr int kRetryInterval = 6000;
    // A relay connection lost after being up this long is looked up again at once; one lost
    // sooner waits for the retry interval, so a relay that drops every link is not hammered.
    static constexpr int kReconnectThreshold = kRetryInterval * 5;
    // A phone-hosted record whose LAPSED figure is above this is out of date.
    static constexpr int kLapsedLimit = 3000;

    explicit HBAccessManager(QObject *parent = nullptr);
    ~HBAccessManager() override;

    void connectToHomeBridge(const QString &address, bool withPMTP);
    void disconnectFromHomeBridge();

    bool isActive() const { return !m_userAddress.isEmpty(); }
    bool isPro() const { return m_direct; }
    AccountType accountType() const { return m_accountType; }
    TolvaneMail::ConnectionType connectionType() const { return m_connectionType; }
    const QString &platform() const { return m_platform; }
    int lapsedTime() const { return m_lapsedTime; }
    const HomeBridgeData &hBData() const { return m_record; }
    bool hasConnectionsInQueue() const { return m_finder.hasConnectionsInQueue(); }

    QString pop3Address() const;
    QString smtpAddress() const;
    QString pmtpAddress() const;
    quint16 pop3Port() const { return m_pop3Port; }
    quint16 smtpPort() const { return m_smtpPort; }
    quint16 pmtpPort() const { return m_pmtpPort; }
    QString adminAddress() const { return m_adminHost; }
    quint16 adminPort() const { return m_adminPort; }
    bool isConnected() const;

    // For tests: the retry interval, the up time that earns an immediate reconnection, the
    // registry exchange's time-outs, and the endpoint finder.
    void setRetryInterval(int milliseconds) { m_retryInterval = milliseconds; }
    void setReconnectThreshold(int milliseconds) { m_reconnectThreshold = milliseconds; }
    void setRegistryTimeout(int milliseconds) { m_registryTimeout = milliseconds; }
    Relay::RelayConnectionHelper &endpointFinder() { return m_finder; }

Q_SIGNALS:
    void found();
    void connected();
    void disconnected();
    void error(HBAccessManager::ErrorCode errorCode, const QString &errorMessage);
    void stateChanged(HBAccessManager::State state);

public Q_SLOTS:
    void handleRegistryReply();
    void onFound();
    void onFailed();
    void onSessionClosed(qulonglong sessionId);
    void onDisconnectedFromRelay();
    void tryConnecting();

private:
    void reset();
    void setState(State state);
    void clearConnection();
    void arrangeRetry(int msec);
    // The account's tier from the find reply's fields and the address's domain.
    void readTier(const QVariantMap &fields);
    // Takes the services' hosts and ports from a direct record; false when a wanted service has
    // no host or port, which leaves the stored ones as they were.
    bool takeDirectServices();
    // The relay path could not be used: retry later and report error 5.
    void failConnection();

    TolvaneMail::RegistryAccessManager m_registry;
    TolvaneMail::RegistryReply *m_pendingReply = nullptr;
    QString m_userAddress;
    QString m_homeBridgeHost;
    QString m_smtpHost;
    QString m_pop3Host;
    QString m_adminHost;
    bool m_direct = false;
    bool m_recordAccepted = false;
    quint16 m_pop3Port = 0;
    quint16 m_smtpPort = 0;
    quint16 m_pmtpPort = 0;
    quint16 m_adminPort = 0;
    Relay::RelayConnectionHelper m_finder;
    Relay::ConnectionManager *m_connectionManager = nullptr;
    HomeBridgeData m_record;
    int m_lapsedTime = 0;
    QString m_platform;
    bool m_withPMTP = false;
    State m_state = kIdle;
    TolvaneMail::ConnectionType m_connectionType = TolvaneMail::kLAN;
    QTimer m_retryTimer;
    AccountType m_accountType = kAccountUndetermined;
    // Counts resets; an attempt that finds it changed after a nested event loop was superseded.
    quint64 m_generation = 0;
    QElapsedTimer m_relayUpTime;
    int m_retryInterval = kRetryInterval;
    int m_reconnectThreshold = kReconnectThreshold;
    int m_registryTimeout = 0;
};

// The user-facing text of an error code; the short form of kConnectionFailed when shortText is
// set. Empty for any other code.
QString errorString(HBAccessManager::ErrorCode errorCode, bool shortText);
