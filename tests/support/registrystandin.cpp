#include "support/registrystandin.h"

#include "settings/settingsprovider.h"
#include "settings/ssldata.h"
#include "support/tlstestserver.h"

#include <QDir>
#include <QTimer>
#include <openssl/crypto.h>

namespace TestSupport {

namespace {
// Writes the answer's text from `from` on, a piece at a time, then closes when it says so.
void writeFrom(QSslSocket *socket, const RegistryAnswer &answer, int from)
{
    const int size = answer.piece > 0 ? answer.piece : answer.text.size();
    socket->write(answer.text.mid(from, size));
    if (from + size < answer.text.size())
        QTimer::singleShot(answer.pauseMs, socket, [=] { writeFrom(socket, answer, from + size); });
    else if (answer.close)
        socket->disconnectFromHost();
}
} // namespace

RegistryStandIn::RegistryStandIn(const TestIdentity &identity)
    : m_identity(identity), m_context(new QObject)
{
    m_context->moveToThread(&m_thread);
    m_thread.start();
}

RegistryStandIn::~RegistryStandIn()
{
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            delete m_context;      // and with it the server and its sockets, in their own thread
            OPENSSL_thread_stop(); // now, not after the leak check of a process that exits
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

bool RegistryStandIn::start()
{
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            auto *server = new TlsTestServer(m_identity, m_context);
            server->setStarter([this](QSslSocket *socket) {
                QObject::connect(socket, &QSslSocket::readyRead, socket, [this, socket] {
                    if (!socket->canReadLine())
                        return;
                    QObject::disconnect(socket, &QSslSocket::readyRead, socket, nullptr);
                    const QByteArray line = socket->readLine();
                    const QMutexLocker locker(&m_mutex);
                    m_requests.append(line);
                    const Answer answer = m_answersByLine.contains(line) ? m_answersByLine[line]
                                          : m_script.isEmpty() ? m_answersByLine[QByteArray()]
                                                               : m_script.takeFirst();
                    // At once, not held back for the client's late ACK.
                    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                    QTimer::singleShot(answer.delayMs, socket,
                                       [=] { writeFrom(socket, answer, 0); });
                });
                QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
                socket->setLocalCertificate(m_identity.certificate);
                socket->setPrivateKey(m_identity.key);
                socket->startServerEncryption();
            });
            m_port = server->listenOnLoopback() ? server->serverPort() : 0;
        },
        Qt::BlockingQueuedConnection);
    return m_port != 0;
}

void RegistryStandIn::enqueue(const Answer &answer)
{
    const QMutexLocker locker(&m_mutex);
    m_script.append(answer);
}

void RegistryStandIn::setAnswerFor(const QByteArray &requestLine, const Answer &answer)
{
    const QMutexLocker locker(&m_mutex);
    m_answersByLine.insert(requestLine, answer);
}

QByteArrayList RegistryStandIn::requests() const
{
    const QMutexLocker locker(&m_mutex);
    return m_requests;
}

bool RegistryStandIn::pointClientAt(quint16 port, const QString &host)
{
    const QString dir = QDir::current().absoluteFilePath(QStringLiteral("registry-config"));
    if (!QDir().mkpath(dir) || CertificateFactory::writeRegistryConfig(dir, port, host).isEmpty())
        return false;
    SettingsProvider::setConfigDir(dir);
    SettingsProvider::drop();
    SslData::drop();
    return SettingsProvider::instance()->getRegistryPort() == port;
}

QByteArray RegistryStandIn::findReply(const QByteArray &recordJson, const QByteArray &fields)
{
    const QByteArray data = "OK DATA=" + recordJson.toBase64().replace('=', '_');
    return data + (fields.isEmpty() ? QByteArray() : ", " + fields) + "\r\n";
}

} // namespace TestSupport
