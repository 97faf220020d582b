#pragma once

#include "homebridge/registrymode.h"
#include "homebridge/registryreplycodes.h"
#include "homebridge/registryrequest.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>

class QSslSocket;
class QTimer;

namespace TolvaneMail {

// One registry exchange: a fresh TLS connection to the registry that trusts only the registry CA
// list, one request line out and one reply line back. In the asynchronous mode the exchange
// starts on the next event-loop turn and ends with exactly one of finished() or error() (none
// after abort()); in the blocking mode it runs inside sendRequest() and emits nothing.
// The caller owns the reply and may delete it at any time.
class RegistryReply : public QObject
{
    Q_OBJECT
public:
    // Longest reply line accepted; a peer that sends more without a line end is cut off.
    static constexpr qint64 kMaxReplyLineBytes = 1048576;
    static constexpr int kDataTimeoutMs = 30000;
    static constexpr int kExchangeTimeoutMs = 60000;
    static constexpr int kEncryptionTimeoutMs = 30000;
    static constexpr int kLineWaitAttempts = 10;
    static constexpr int kLineWaitIntervalMs = 1000;

    explicit RegistryReply(RegistryMode mode, QObject *parent = nullptr);
    ~RegistryReply() override;

    void sendRequest(const RegistryRequest &request);

    bool isInProgress() const;
    RegistryRequestType requestType() const { return m_request.requestType(); }
    RegistryRequest request() const { return m_request; }
    RegistryReplyCodes replyCode() const { return m_replyCode; }
    QString getReply() const { return m_reply; }
    bool isReplyPossitive() const { return m_replyCode == kReplyOk; }
    bool hasReply() const;

    static QString replyCodeToString(RegistryReplyCodes code);

    // Time-outs, for tests: the asynchronous wait for (more of) the line and the asynchronous
    // exchange as a whole; the blocking wait for the handshake and for each line attempt.
    void setDataTimeout(int ms) { m_dataTimeoutMs = ms; }
    void setExchangeTimeout(int ms) { m_exchangeTimeoutMs = ms; }
    void setEncryptionTimeout(int ms) { m_encryptionTimeoutMs = ms; }
    void setLineWaitInterval(int ms) { m_lineWaitIntervalMs = ms; }

Q_SIGNALS:
    void error();
    void finished();

public Q_SLOTS:
    void abort();
    void writeRequest();
    void parseRespose();
    void handleSocketError(QAbstractSocket::SocketError socketError);
    void checkSslErrors(const QList<QSslError> &errors);
    void handleSocketDisconnected();
    void handleDataReceivedSignal();
    void handleDataTimeout();
    void emitFinished();
    void emitError();
    void handleAsynchronousPost();

private:
    enum LineState { kNoLine, kLine, kLineTooLong };

    void handleSynchronousPost();
    bool waitForNewLine();
    LineState lineState() const;
    void startDataTimer();
    void finish(bool success);
    void failLineTooLong();

    RegistryMode m_mode;
    QSslSocket *m_socket;
    RegistryRequest m_request;
    RegistryReplyCodes m_replyCode = kReplyNone;
    QString m_reply;
    QTimer *m_timer;
    bool m_done = false;
    bool m_aborted = false;
    QDeadlineTimer m_deadline;
    int m_dataTimeoutMs = kDataTimeoutMs;
    int m_exchangeTimeoutMs = kExchangeTimeoutMs;
    int m_encryptionTimeoutMs = kEncryptionTimeoutMs;
    int m_lineWaitIntervalMs = kLineWaitIntervalMs;
};

} // namespace TolvaneMail
