#include "homebridge/relayconnectionhelper.h"

#include "core/socketerror2str.h"
#include "log/logger.h"
#include "relay/v2/connectionmanager.h"

#include <QSslError>

namespace Relay {

namespace {
const Log::Logger kLog("Relay::RelayConnectionHelper");

// Written once at start-up, before any search.
bool s_forceRelay = false;
} // namespace

RelayConnectionHelper::RelayConnectionHelper(QObject *parent) : QObject(parent)
{
    m_sslSocketChecker.setTimeout(kCheckTimeout);
    connect(&m_sslSocketChecker, &QAbstractSocket::connected, this,
            &RelayConnectionHelper::onSslSocketConnected, Qt::UniqueConnection);
    connect(&m_sslSocketChecker, &QSslSocket::encrypted, this,
            &RelayConnectionHelper::onSslSocketEncrypted, Qt::UniqueConnection);
    connect(&m_sslSocketChecker, &QAbstractSocket::errorOccurred, this,
            &RelayConnectionHelper::onSslSocketError, Qt::UniqueConnection);
    connect(&m_sslSocketChecker, &QAbstractSocket::disconnected, this,
            &RelayConnectionHelper::onSslSocketDisconnected, Qt::UniqueConnection);
    // No verification error stops the handshake: the comparison with the record decides.
    connect(&m_sslSocketChecker, qOverload<const QList<QSslError> &>(&QSslSocket::sslErrors),
            &m_sslSocketChecker, qOverload<>(&QSslSocket::ignoreSslErrors));

    m_connectionManager = new ConnectionManager(this);
    connect(m_connectionManager, &ConnectionManager::connected, this,
            &RelayConnectionHelper::onRelayConnected);
    connect(m_connectionManager, &ConnectionManager::failed, this,
            &RelayConnectionHelper::onRelayFailedConnecting);
    connect(m_connectionManager, &ConnectionManager::disconnected, this,
            &RelayConnectionHelper::disconnected);
}

RelayConnectionHelper::~RelayConnectionHelper()
{
    disconnect(&m_sslSocketChecker, nullptr, this, nullptr);
    disconnect(m_connectionManager, nullptr, this, nullptr);
    closeCheckerQuietly();
}

void RelayConnectionHelper::setHomeBridgeData(const HomeBridgeData &record)
{
    kLog.trace(this) << Q_FUNC_INFO;
    m_record = record;
}

void RelayConnectionHelper::setExternalIP(const QString &externalIP)
{
    kLog.trace(this) << Q_FUNC_INFO << externalIP;
    m_externalIP = externalIP;
}

void RelayConnectionHelper::setForceRelay(bool forceRelay)
{
    kLog.trace() << Q_FUNC_INFO << forceRelay;
    s_forceRelay = forceRelay;
}

bool RelayConnectionHelper::isForceRelay()
{
    return s_forceRelay;
}

QQueue<RelayConnectionHelper::ConnectionParams>
RelayConnectionHelper::candidates(const HomeBridgeData &record, const QString &externalIP)
{
    const HBDInfo &info = record.info();
    const HBDServiceSettings &relayServer = record.settings().RelayServer;
    QQueue<ConnectionParams> queue;
    // An empty address proves nothing about being on the same LAN.
    if (!s_forceRelay && !externalIP.isEmpty() && info.ExternalIP == externalIP &&
        !info.LocalIP.isEmpty() && relayServer.Version > 1) {
        kLog.trace() << "We are in same LAN:"
                     << "Local IP: " << info.LocalIP << "Relay Port:" << relayServer.LocalPort;
        queue.enqueue({QHostAddress(info.LocalIP), kServicePMTP, relayServer.LocalPort, 1,
                       TolvaneMail::kLAN});
    }
    if (!s_forceRelay && info.Addressable) {
        kLog.trace() << "Adressable:"
                     << "External IP: " << info.ExternalIP
                     << "Relay Port:" << relayServer.ExternalPort;
        queue.enqueue({QHostAddress(info.ExternalIP), kServicePMTP, relayServer.ExternalPort, 1,
                       TolvaneMail::kInternet});
    }
    if (!info.Relay2.Address.isEmpty()) {
        bool ok = false;
        quint64 sessionId = info.Relay2.SessionID.toULongLong(&ok, 10);
        if (!ok)
            sessionId = 0;
        kLog.trace() << "Relay:"
                     << "RelayIP:" << info.Relay2.Address << "Relay Port:" << info.Relay2.Port
                     << "Session:" << sessionId;
        queue.enqueue({QHostAddress(info.Relay2.Address), kServicePMTP, info.Relay2.Port, sessionId,
                       TolvaneMail::kRelay});
    }
    return queue;
}

void RelayConnectionHelper::findBestConnection()
{
    kLog.trace(this) << Q_FUNC_INFO;
    m_queue = candidates(m_record, m_externalIP);
    if (m_sslSocketChecker.state() == QAbstractSocket::ConnectedState)
        kLog.error(this) << "m_sslSocketChecker is connected! disconnecting";
    if (m_connectionManager->isConnected())
        kLog.error(this) << "m_connectionManager is connected! disconnecting";
    endSearch();
    tryNextCandidate();
}

void RelayConnectionHelper::clear()
{
    kLog.trace(this) << Q_FUNC_INFO;
    if (m_connectionManager->isConnected())
        kLog.trace(this) << Q_FUNC_INFO << "disconnecting relay connection manager";
    endSearch();
}

void RelayConnectionHelper::endSearch()
{
    m_state = kIdle;
    closeCheckerQuietly();
    // Also ends a relay attempt that is still under way, which then reports nothing.
    m_connectionManager->disconnectFromRelay();
}

void RelayConnectionHelper::cancel()
{
    kLog.debug(this) << Q_FUNC_INFO;
    if (m_state == kChecking && m_sslSocketChecker.state() != QAbstractSocket::UnconnectedState) {
        // Its disconnection path drops the relay connection and moves on.
        m_sslSocketChecker.close();
        m_sslSocketChecker.stopTimer();
        return;
    }
    m_sslSocketChecker.stopTimer();
    if (m_state == kIdle)
        m_connectionManager->disconnectFromRelay(); // e.g. the connection found() left open
    else
        rejectCandidate();
}

void RelayConnectionHelper::tryNextCandidate()
{
    kLog.trace(this) << Q_FUNC_INFO;
    if (m_queue.isEmpty()) {
        m_state = kIdle;
        Q_EMIT failed();
        return;
    }
    m_current = m_queue.dequeue();
    kLog.trace(this) << "Trying to connect using connection params:";
    kLog.trace(this) << "address=" << m_current.address << ", port=" << m_current.port
                     << ", sessionId=" << m_current.sessionId;
    m_state = kConnecting;
    m_connectionManager->connectToRelay(m_current.address, m_current.port);
}

void RelayConnectionHelper::rejectCandidate()
{
    m_connectionManager->disconnectFromRelay();
    tryNextCandidate();
}

void RelayConnectionHelper::onRelayConnected()
{
    if (m_state != kConnecting)
        return;
    kLog.trace(this) << "Connected to relay using connection params: [type="
                     << TolvaneMail::toString(m_current.type) << ", address=" << m_current.address
                     << ":" << m_current.port << ", sessionId=" << m_current.sessionId
                     << ", serviceId=" << m_current.serviceId << " ];";
    m_localPort = m_connectionManager->addForward(m_current.sessionId, m_current.serviceId);
    if (m_localPort == 0) {
        kLog.error(this) << "No local port for the certificate check";
        rejectCandidate();
        return;
    }
    kLog.trace(this) << "m_sslSocketChecker.connectToHostEncrypted to port" << m_localPort;
    m_state = kChecking;
    m_sslSocketChecker.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_localPort,
                                              QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    m_sslSocketChecker.startTimer();
}

void RelayConnectionHelper::onRelayFailedConnecting()
{
    kLog.trace(this) << Q_FUNC_INFO;
    if (m_state != kConnecting)
        return;
    closeCheckerQuietly();
    tryNextCandidate();
}

void RelayConnectionHelper::onSslSocketConnected()
{
    kLog.trace(this) << "onSslSocketConnected";
}

void RelayConnectionHelper::onSslSocketEncrypted()
{
    kLog.trace(this) << Q_FUNC_INFO;
    if (m_state != kChecking)
        return;
    // A record without a certificate, or a peer that shows none, proves nothing.
    const QByteArray expected = m_record.info().Certificate.toDer();
    const bool sameCertificate =
        !expected.isEmpty() && m_sslSocketChecker.peerCertificate().toDer() == expected;
    if (!sameCertificate) {
        kLog.debug(this) << "Certificate differs from the record's on"
                         << TolvaneMail::toString(m_current.type);
        failCheck();
        return;
    }
    closeCheckerQuietly();
    kLog.debug(this) << "Connected to HomeBridge using " << TolvaneMail::toString(m_current.type);
    m_state = kIdle;
    Q_EMIT found();
}

void RelayConnectionHelper::onSslSocketError(QAbstractSocket::SocketError error)
{
    kLog.trace(this) << Q_FUNC_INFO;
    kLog.trace(this) << "m_sslSocketChecker=" << &m_sslSocketChecker;
    kLog.trace(this) << "sender=" << sender();
    kLog.trace(this) << socketError2Str(error) + QStringLiteral(" with message ") +
                            m_sslSocketChecker.errorString();
    failCheck();
}

void RelayConnectionHelper::onSslSocketDisconnected()
{
    kLog.trace(this) << Q_FUNC_INFO;
    failCheck();
}

void RelayConnectionHelper::failCheck()
{
    if (m_state != kChecking)
        return;
    closeCheckerQuietly();
    rejectCandidate();
}

void RelayConnectionHelper::closeCheckerQuietly()
{
    const bool wasBlocked = m_sslSocketChecker.blockSignals(true);
    m_sslSocketChecker.close();
    // A close that still has bytes to write would finish, and signal, later.
    if (m_sslSocketChecker.state() != QAbstractSocket::UnconnectedState)
        m_sslSocketChecker.abort();
    m_sslSocketChecker.stopTimer();
    m_sslSocketChecker.blockSignals(wasBlocked);
}

} // namespace Relay
