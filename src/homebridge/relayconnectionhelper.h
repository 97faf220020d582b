#pragma once

#include "core/smartsslsocket.h"
#include "homebridge/connectiontype.h"
#include "homebridge/homebridgedata.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QQueue>
#include <QString>

namespace Relay {

class ConnectionManager;

// Finds a working path to a phone-hosted HomeBridge. From the HomeBridge's record and the
// desktop's external address it lists up to three candidates (same LAN, direct Internet, relay
// server), opens relay protocol V2 to each in turn and accepts the first whose far end proves, in
// a TLS handshake carried through a local forward, to hold exactly the certificate of the record.
// On found() the relay connection stays open for the caller's forwards.
//
// A search ends with exactly one of found() or failed(), unless it is superseded first: clear(),
// a new findBestConnection() and destruction end the attempt in progress quietly, so nothing of
// an old search is reported later.
class RelayConnectionHelper : public QObject
{
    Q_OBJECT
public:
    // One candidate endpoint.
    struct ConnectionParams
    {
        QHostAddress address;
        QByteArray serviceId;
        quint16 port = 0;
        quint64 sessionId = 0;
        TolvaneMail::ConnectionType type = TolvaneMail::kLAN;
    };

    // Inactivity limit of the certificate check.
    static constexpr int kCheckTimeout = 30000;

    explicit RelayConnectionHelper(QObject *parent = nullptr);
    ~RelayConnectionHelper() override;

    void setHomeBridgeData(const HomeBridgeData &record);
    void setExternalIP(const QString &externalIP);
    // Process-wide: when set, only the relay candidate is listed. Start-up sets it for "-r".
    static void setForceRelay(bool forceRelay);
    static bool isForceRelay();

    // The candidates of a record, in the order they are tried.
    static QQueue<ConnectionParams> candidates(const HomeBridgeData &record,
                                               const QString &externalIP);

    void findBestConnection();
    bool hasConnectionsInQueue() const { return !m_queue.isEmpty(); }
    void clear();

    Relay::ConnectionManager *connectionManager() const { return m_connectionManager; }
    TolvaneMail::ConnectionType currentConnectionType() const { return m_current.type; }
    quint64 relaySessionId() const { return m_current.sessionId; }

    // For tests: the inactivity limit of the certificate check in milliseconds.
    void setCheckTimeout(int milliseconds) { m_sslSocketChecker.setTimeout(milliseconds); }

Q_SIGNALS:
    void found();
    void failed();
    void disconnected();

public Q_SLOTS:
    void cancel();
    void onRelayConnected();
    void onRelayFailedConnecting();
    void onSslSocketConnected();
    void onSslSocketEncrypted();
    void onSslSocketError(QAbstractSocket::SocketError error);
    void onSslSocketDisconnected();

private:
    enum State { kIdle, kConnecting, kChecking };

    // Ends the search in progress, whatever stage it has reached, without reporting anything.
    void endSearch();
    void tryNextCandidate();
    // Drops the current candidate's relay connection and moves on.
    void rejectCandidate();
    // The certificate check of the current candidate failed (when one is running).
    void failCheck();
    // Closes the checker with its signals blocked, so neither its error nor its disconnection
    // path runs.
    void closeCheckerQuietly();

    QQueue<ConnectionParams> m_queue;
    ConnectionParams m_current;
    Relay::ConnectionManager *m_connectionManager = nullptr;
    SmartSslSocket m_sslSocketChecker;
    quint16 m_localPort = 0;
    HomeBridgeData m_record;
    QString m_externalIP;
    State m_state = kIdle;
};

} // namespace Relay
