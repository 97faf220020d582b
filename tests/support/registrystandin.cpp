#include "support/registrystandin.h"

#include "settings/settingsprovider.h"
#include "settings/ssldata.h"
#include "support/tlstestserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutexLocker>
#include <QPointer>
#include <QSslSocket>
#include <QTimer>
#include <openssl/crypto.h>

namespace TestSupport {

namespace {

constexpr qint64 kEndlessLineBytes = 8 * 1024 * 1024;
constexpr int kEndlessChunk = 64 * 1024;

TestIdentity identityFor(RegistryStandIn::Identity identity)
{
    switch (identity) {
    case RegistryStandIn::kForeignCa:
        return CertificateFactory::foreignLeaf();
    case RegistryStandIn::kWrongName: {
        CertificateOptions options;
        options.commonName = QStringLiteral("registry.invalid");
        options.dnsNames = QStringList{QStringLiteral("registry.invalid")};
        options.addresses.clear();
        return CertificateFactory::makeLeaf(options);
    }
    case RegistryStandIn::kTrusted:
        break;
    }
    return CertificateFactory::leaf();
}

// Writes one byte at a time until the connection goes.
void trickle(QPointer<QSslSocket> socket, int pauseMs)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    socket->write("x");
    QTimer::singleShot(pauseMs, socket, [socket, pauseMs] { trickle(socket, pauseMs); });
}

} // namespace

RegistryStandIn::RegistryStandIn(Identity identity, const QHostAddress &address)
    : m_identity(identityFor(identity)), m_address(address), m_context(std::make_unique<QObject>())
{
    m_thread.setObjectName(QStringLiteral("RegistryStandIn"));
}

RegistryStandIn::~RegistryStandIn()
{
    if (m_thread.isRunning()) {
        QThread *const owner = QThread::currentThread();
        QMetaObject::invokeMethod(
            m_context.get(),
            [this, owner] {
                // Closing the sockets here, in their own thread, before the thread stops.
                delete m_server;
                m_server = nullptr;
                // OpenSSL frees a thread's own state when the thread ends, which may come after
                // wait() below returns and so after a process that exits at once has been
                // checked for leaks: free it now.
                OPENSSL_thread_stop();
                m_context->moveToThread(owner);
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
}

bool RegistryStandIn::start()
{
    if (m_identity.isNull())
        return false;
    m_context->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_context.get(),
        [this] {
            m_server = new TlsTestServer(m_identity, m_context.get());
            QObject::connect(m_server, &TlsTestServer::accepted, m_server,
                             [this](QSslSocket *socket) { handleConnection(socket); });
            if (m_server->listenOnLoopback(m_address))
                m_port = m_server->serverPort();
        },
        Qt::BlockingQueuedConnection);
    return m_port != 0;
}

void RegistryStandIn::enqueue(const RegistryAnswer &answer)
{
    QMutexLocker locker(&m_mutex);
    m_script.append(answer);
}

void RegistryStandIn::setDefaultAnswer(const RegistryAnswer &answer)
{
    QMutexLocker locker(&m_mutex);
    m_defaultAnswer = answer;
}

void RegistryStandIn::setAnswerFor(const QByteArray &requestLine, const RegistryAnswer &answer)
{
    QMutexLocker locker(&m_mutex);
    m_answersByLine.insert(requestLine, answer);
}

bool RegistryStandIn::pointClientHere() const
{
    const QString dir = QDir::current().absoluteFilePath(QStringLiteral("registry-config"));
    if (!QDir().mkpath(dir) || CertificateFactory::writeRegistryConfig(dir, m_port).isEmpty())
        return false;
    SettingsProvider::setConfigDir(dir);
    SettingsProvider::drop();
    SslData::drop();
    return SettingsProvider::instance()->getRegistryPort() == m_port;
}

QByteArrayList RegistryStandIn::requests() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests;
}

int RegistryStandIn::connectionCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_connections;
}

QByteArray RegistryStandIn::findReply(const QByteArray &recordJson, const QByteArray &fields)
{
    QByteArray reply = "OK DATA=" + recordJson.toBase64().replace('=', '_');
    if (!fields.isEmpty())
        reply += ", " + fields;
    return reply + "\r\n";
}

RegistryAnswer RegistryStandIn::nextAnswer(const QByteArray &line)
{
    QMutexLocker locker(&m_mutex);
    const auto byLine = m_answersByLine.constFind(line);
    if (byLine != m_answersByLine.constEnd())
        return byLine.value();
    return m_script.isEmpty() ? m_defaultAnswer : m_script.takeFirst();
}

void RegistryStandIn::handleConnection(QSslSocket *socket)
{
    {
        QMutexLocker locker(&m_mutex);
        ++m_connections;
    }
    // Answers go out at once, as a server's should, not held back for the client's late ACK.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // One request line per connection; the socket is a child of the server.
    QObject::connect(socket, &QSslSocket::readyRead, socket, [this, socket] {
        if (socket->property("answered").toBool() || !socket->canReadLine())
            return;
        socket->setProperty("answered", true);
        const QByteArray line = socket->readLine();
        {
            QMutexLocker locker(&m_mutex);
            m_requests.append(line);
        }
        answer(socket, line);
    });
    QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
}

void RegistryStandIn::answer(QSslSocket *socket, const QByteArray &line)
{
    const RegistryAnswer answer = nextAnswer(line);
    const QPointer<QSslSocket> guarded(socket);
    switch (answer.kind) {
    case RegistryAnswer::kReply:
        QTimer::singleShot(answer.delayMs, socket, [guarded, answer] {
            if (!guarded)
                return;
            guarded->write(answer.text);
            if (answer.closeAfterReply)
                guarded->disconnectFromHost();
        });
        break;
    case RegistryAnswer::kSplitReply:
        QTimer::singleShot(answer.delayMs, socket, [guarded, answer] {
            if (!guarded)
                return;
            guarded->write(answer.text.left(answer.splitAt));
            guarded->flush();
            QTimer::singleShot(answer.pauseMs, guarded, [guarded, answer] {
                if (guarded)
                    guarded->write(answer.text.mid(answer.splitAt));
            });
        });
        break;
    case RegistryAnswer::kEcho:
        socket->write("OK " + line);
        break;
    case RegistryAnswer::kClose:
        QTimer::singleShot(answer.delayMs, socket, [guarded] {
            if (guarded)
                guarded->disconnectFromHost();
        });
        break;
    case RegistryAnswer::kSilence:
        break;
    case RegistryAnswer::kTrickle:
        trickle(guarded, answer.pauseMs);
        break;
    case RegistryAnswer::kEndlessLine: {
        // Keeps a few chunks in flight and refills as the peer reads them.
        auto written = std::make_shared<qint64>(0);
        auto refill = [guarded, written] {
            while (guarded && guarded->encryptedBytesToWrite() + guarded->bytesToWrite() < 4 * kEndlessChunk
                   && *written < kEndlessLineBytes) {
                guarded->write(QByteArray(kEndlessChunk, 'A'));
                *written += kEndlessChunk;
            }
        };
        QObject::connect(socket, &QSslSocket::encryptedBytesWritten, socket, refill);
        refill();
        break;
    }
    }
}

} // namespace TestSupport
