#include "homebridge/registryreply.h"

#include "homebridge/registryreplyparser.h"
#include "log/logger.h"
#include "settings/settingsprovider.h"
#include "settings/ssldata.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

namespace TolvaneMail {

namespace {
const Log::Logger kLog("TolvaneMail::RegistryReply");
}

RegistryReply::RegistryReply(RegistryMode mode, QObject *parent)
    : QObject(parent), m_mode(mode), m_socket(new QSslSocket(this)), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
}

RegistryReply::~RegistryReply()
{
    // The socket goes with this object; nothing it reports while closing may reach a reply that
    // is half destroyed, and no queued signal may follow.
    m_done = true;
    m_aborted = true;
    m_timer->stop();
    m_socket->disconnect(this);
    m_socket->abort();
}

void RegistryReply::sendRequest(const RegistryRequest &request)
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::sendRequest(const RegistryRequest&)";
    m_request = request;

    // Only the registry's own CA is trusted; peer verification and the host-name check stay on,
    // and no TLS error is ever ignored.
    QSslConfiguration configuration = m_socket->sslConfiguration();
    configuration.setProtocol(QSsl::SecureProtocols);
    configuration.setCaCertificates(SslData::instance()->getRegistryCACertificates());
    m_socket->setSslConfiguration(configuration);

    connect(m_socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            &RegistryReply::checkSslErrors);

    if (m_mode == kRegistryAsynchronous)
        QMetaObject::invokeMethod(this, &RegistryReply::handleAsynchronousPost, Qt::QueuedConnection);
    else
        handleSynchronousPost();
}

bool RegistryReply::isInProgress() const
{
    return !m_done && m_socket->isOpen();
}

bool RegistryReply::hasReply() const
{
    return m_replyCode != kReplySslError && m_replyCode != kReplyNetworkError
           && m_replyCode != kReplyDefault;
}

QString RegistryReply::replyCodeToString(RegistryReplyCodes code)
{
    switch (code) {
    case kReplyOk:
        return QStringLiteral("reply ok");
    case kReplyFailedExists:
        return QStringLiteral("requested record already has been created");
    case kReplyUserExists:
        return QStringLiteral("requested user exists");
    case kReplyFailedNotExists:
        return QStringLiteral("requested user does not exists");
    case kReplyUserUnknown:
        return QStringLiteral("user is uknown");
    case kReplyEmailExists:
        return QStringLiteral("requested email has been already created");
    case kReplyFailedAuth:
        return QStringLiteral("authenticated failed");
    case kReplySslError:
        return QStringLiteral("ssl error occured");
    case kReplyNetworkError:
        return QStringLiteral("network error occured");
    case kReplyServerError:
        return QStringLiteral("internal server error occured");
    case kReplyDefault:
        return QStringLiteral("default registry reply");
    case kReplyChangedToPro:
        return QStringLiteral("FAILED_CHANGED_TO_PRO");
    case kReplyParseError:
        return QStringLiteral("reply parse error");
    case kReplyInvalidCommand:
        return QStringLiteral("reply invalid command");
    default:
        break;
    }
    return QString();
}

void RegistryReply::abort()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::abort()";
    m_done = true;
    m_aborted = true;
    m_timer->stop();
    m_socket->abort();
}

void RegistryReply::handleAsynchronousPost()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::handleAsynchronousPost()";
    if (m_done)
        return;

    connect(m_socket, &QSslSocket::connected, this,
            [this] { kLog.trace(this) << "Registry reply socket connected"; });
    connect(m_socket, &QSslSocket::encrypted, this, &RegistryReply::writeRequest);
    connect(m_socket, &QSslSocket::readyRead, this, &RegistryReply::handleDataReceivedSignal);
    connect(m_socket, &QSslSocket::errorOccurred, this, &RegistryReply::handleSocketError);
    connect(m_socket, &QSslSocket::disconnected, this, &RegistryReply::handleSocketDisconnected);
    connect(m_timer, &QTimer::timeout, this, &RegistryReply::handleDataTimeout);

    // Each partial arrival grants another data period, but never beyond the exchange's deadline.
    m_deadline = QDeadlineTimer(m_exchangeTimeoutMs);
    startDataTimer();

    const SettingsProvider *settings = SettingsProvider::instance();
    m_socket->connectToHostEncrypted(settings->getRegistryHost(), settings->getRegistryPort(),
                                     QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void RegistryReply::startDataTimer()
{
    const qint64 remaining = m_deadline.remainingTime();
    m_timer->start(int(qBound<qint64>(0, remaining, m_dataTimeoutMs)));
}

void RegistryReply::writeRequest()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::writeRequest()";
    const QString line = m_request.requestString();
    kLog.debug(this) << "Connected, sending request: " << line << ". Type: " << m_request.requestType();
    m_socket->write(line.toLatin1() + "\r\n");
}

RegistryReply::LineState RegistryReply::lineState() const
{
    if (m_socket->canReadLine()) {
        // The line end may lie beyond the cap when a long run arrived all at once.
        if (m_socket->bytesAvailable() <= kMaxReplyLineBytes
            || m_socket->peek(kMaxReplyLineBytes).contains('\n')) {
            return kLine;
        }
        return kLineTooLong;
    }
    return m_socket->bytesAvailable() >= kMaxReplyLineBytes ? kLineTooLong : kNoLine;
}

void RegistryReply::failLineTooLong()
{
    kLog.warn(this) << "Reply line too long:" << m_socket->bytesAvailable() << "bytes without a line end";
    m_replyCode = kReplyNetworkError;
    m_socket->abort();
}

void RegistryReply::handleDataReceivedSignal()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::handleDataReceivedSignal()";
    if (m_done)
        return;
    switch (lineState()) {
    case kLine:
        m_timer->stop();
        parseRespose();
        emitFinished();
        return;
    case kLineTooLong:
        m_timer->stop();
        emitError();
        failLineTooLong();
        return;
    case kNoLine:
        kLog.trace(this) << "Cannot read line";
        startDataTimer();
        return;
    }
}

void RegistryReply::parseRespose()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::parseRespose()";
    m_reply = QString::fromUtf8(m_socket->readAll());
    m_replyCode = RegistryReplyParser::replyCode(m_reply);
    if (m_replyCode != kReplyOk) {
        kLog.warn(this) << "Request:" << m_request.requestString();
        kLog.warn(this) << "Reply:" << m_reply;
    }
    kLog.debug(this) << "Received:" << m_reply;
}

void RegistryReply::checkSslErrors(const QList<QSslError> &errors)
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::checkSslErrors(QList<QSslError>)";
    if (m_done)
        return;
    m_replyCode = kReplySslError;
    for (const QSslError &sslError : errors)
        kLog.error(this) << "SSL error: " << sslError.errorString();
    if (m_mode == kRegistryAsynchronous)
        emitError();
}

void RegistryReply::handleSocketError(QAbstractSocket::SocketError socketError)
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::handleSocketError(QAbstractSocket::SocketError)";
    if (m_done)
        return;
    m_replyCode = kReplyNetworkError;
    kLog.warn(this) << "Socket error: " << socketError << m_socket->errorString();
    emitError();
}

void RegistryReply::handleSocketDisconnected()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::handleSocketDisconnected()";
    if (m_done)
        return;
    kLog.warn(this) << "Disconnected";
    m_replyCode = kReplyNetworkError;
    emitError();
}

void RegistryReply::handleDataTimeout()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::handleDataTimeout()";
    if (m_done)
        return;
    kLog.warn(this) << "Timeout";
    m_replyCode = kReplyNetworkError;
    emitError();
}

void RegistryReply::emitFinished()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::emitFinished()";
    finish(true);
}

void RegistryReply::emitError()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::emitError()";
    finish(false);
}

void RegistryReply::finish(bool success)
{
    if (m_done)
        return;
    m_done = true;
    m_timer->stop();
    disconnect(m_socket, &QSslSocket::encrypted, this, &RegistryReply::writeRequest);
    disconnect(m_socket, &QSslSocket::readyRead, this, &RegistryReply::handleDataReceivedSignal);
    disconnect(m_socket, &QSslSocket::errorOccurred, this, &RegistryReply::handleSocketError);
    disconnect(m_socket, &QSslSocket::disconnected, this, &RegistryReply::handleSocketDisconnected);
    disconnect(m_timer, &QTimer::timeout, this, &RegistryReply::handleDataTimeout);

    // The signal goes out from the event loop, not from inside the socket's or the timer's own
    // signal, so a receiver may delete the reply at once. Deleting or aborting the reply first
    // drops it.
    QMetaObject::invokeMethod(
        this,
        [this, success] {
            if (m_aborted)
                return;
            if (success)
                Q_EMIT finished();
            else
                Q_EMIT error();
        },
        Qt::QueuedConnection);
}

void RegistryReply::handleSynchronousPost()
{
    kLog.trace(this) << "void TolvaneMail::RegistryReply::handleSynchronousPost()";
    const SettingsProvider *settings = SettingsProvider::instance();
    m_socket->connectToHostEncrypted(settings->getRegistryHost(), settings->getRegistryPort(),
                                     QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    if (!m_socket->waitForEncrypted(m_encryptionTimeoutMs)) {
        kLog.warn(this) << "Cannot connect to registry server:" << m_socket->errorString()
                        << m_socket->error();
        return;
    }

    writeRequest();
    m_socket->flush();

    if (waitForNewLine()) {
        parseRespose();
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->disconnectFromHost();
        return;
    }
    if (m_replyCode == kReplyNetworkError)
        return; // cut off for an over-long line, already logged
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        kLog.warn(this) << "Disconnected before received reply:" << m_socket->errorString()
                        << m_socket->readAll();
    }
}

bool RegistryReply::waitForNewLine()
{
    kLog.trace(this) << "bool TolvaneMail::RegistryReply::waitForNewLine()";
    for (int attempt = 0; attempt < kLineWaitAttempts; ++attempt) {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            break;
        m_socket->waitForReadyRead(m_lineWaitIntervalMs);
        const LineState state = lineState();
        if (state == kLine)
            return true;
        if (state == kLineTooLong) {
            failLineTooLong();
            return false;
        }
    }
    // A line may have come together with the peer's close.
    return lineState() == kLine;
}

} // namespace TolvaneMail
