#include "app/singleapplication.h"

#include "log/logger.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QSystemSemaphore>

#include <unistd.h>

namespace {
const Log::Logger kLog("SingleApplication");

const char kAlreadyLaunched[] = "Application has been already launched";

// The name of the segment, the semaphore and the server: the key and the user's id. Users who
// share the temporary folder (where the objects' key files and the socket lie) each get objects
// of their own, so one user's instance never stands in for another user's.
QString userKey(const QString &key)
{
    return key + QLatin1Char('-') + QString::number(::geteuid());
}

// A segment that no live process is attached to (its instance crashed) goes away when this
// temporary attachment ends; one that a running instance holds stays.
void clearStaleSegment(const QString &key)
{
    QSharedMemory probe(key);
    if (probe.attach(QSharedMemory::ReadWrite))
        probe.detach();
}
} // namespace

SingleApplication::SingleApplication(int &argc, char **argv, const QString &key)
    : QApplication(argc, argv), m_key(key), m_userKey(userKey(m_key))
{
    kLog.trace(this) << "SingleApplication::SingleApplication(int &argc, char **argv, QString key)";

    QSystemSemaphore semaphore(QLatin1Char('<') + m_userKey + QLatin1Char('>'), 1,
                               QSystemSemaphore::Open);
    const bool acquired = semaphore.acquire();
    if (!acquired)
        kLog.warn(this) << "Cannot acquire the semaphore:" << semaphore.errorString();
    const auto release = qScopeGuard([&semaphore, acquired] {
        if (acquired)
            semaphore.release();
    });

    // A stale segment is looked for only here, under the semaphore. Beside another start's check
    // the probe could remove the lock file of the segment being made, or the new segment itself
    // before its creator attached; that start then ran without the key, and so did the next.
    m_sharedMemory.setKey(m_userKey);
    clearStaleSegment(m_userKey);

    if (m_sharedMemory.attach(QSharedMemory::ReadWrite)) {
        m_running = true;
        sendMessage(QString::fromLatin1(kAlreadyLaunched));
        return;
    }
    m_running = false;

    // The segment's key is derived from its key file. When that file was removed while a killed
    // instance's segment stayed (a cleaned temporary folder), a new key file can be given the
    // key of that segment; the probe reaches it once the file exists, and the creation is tried
    // once more.
    bool created = m_sharedMemory.create(1, QSharedMemory::ReadWrite);
    if (!created && m_sharedMemory.error() == QSharedMemory::AlreadyExists) {
        clearStaleSegment(m_userKey);
        created = m_sharedMemory.create(1, QSharedMemory::ReadWrite);
    }
    if (!created) {
        kLog.debug(this) << "Unable to create single instance.";
        return;
    }

    m_localServer = new QLocalServer(this);
    connect(m_localServer, &QLocalServer::newConnection, this, &SingleApplication::receiveMessage);
    // Only this user may connect, whatever the umask: the socket is made owner-only.
    m_localServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!QLocalServer::removeServer(m_userKey))
        kLog.warn(this) << "Cannot remove the Server";
    if (!m_localServer->listen(m_userKey)) {
        kLog.warn(this) << "Unable to start the Server" << m_localServer->errorString();
        m_running = true;
        return;
    }
    setupDockClickHandler();
}

SingleApplication::~SingleApplication()
{
    kLog.trace(this) << "SingleApplication::~SingleApplication()";
    if (m_sharedMemory.isAttached())
        m_sharedMemory.detach();
}

bool SingleApplication::isRunning() const
{
    kLog.trace(this) << "bool SingleApplication::isRunning() const";
    return m_running;
}

bool SingleApplication::sendMessage(const QString &message)
{
    kLog.trace(this) << "bool SingleApplication::sendMessage(const QString &message)";
    if (!m_running)
        return false;

    QLocalSocket socket;
    socket.connectToServer(m_userKey, QIODevice::WriteOnly);
    if (!socket.waitForConnected(kMessageTimeoutMs)) {
        kLog.error(this) << "Could not connect to local server" << socket.errorString();
        return false;
    }
    socket.write(message.toUtf8());
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(kMessageTimeoutMs)) {
            kLog.debug(this) << socket.errorString();
            return false;
        }
    }
    socket.disconnectFromServer();
    return true;
}

void SingleApplication::receiveMessage()
{
    kLog.trace(this) << "void SingleApplication::receiveMessage()";
    if (!m_localServer)
        return;
    QLocalSocket *socket = m_localServer->nextPendingConnection();
    if (!socket)
        return; // the connection is already gone
    // Each connection carries one message; it is released once read or given up.
    const auto release = qScopeGuard([socket] { socket->deleteLater(); });

    // Data that arrived together with the connection is already buffered; waiting would then
    // look for more and miss a sender that has closed already.
    if (socket->bytesAvailable() <= 0 && !socket->waitForReadyRead(kMessageTimeoutMs)) {
        kLog.debug(this) << socket->errorString();
        return;
    }
    const QByteArray message = socket->readAll();
    kLog.debug(this) << QString::fromUtf8(message);
    Q_EMIT messageAvailable();
    socket->disconnectFromServer();
}

void SingleApplication::onClickOnDock()
{
    kLog.trace(this) << "void SingleApplication::onClickOnDock()";
    Q_EMIT dockClicked();
}

bool dockClickHandler(DockRuntime::Object, DockRuntime::Selector, ...)
{
    if (auto *application = qobject_cast<SingleApplication *>(QCoreApplication::instance()))
        application->onClickOnDock();
    return false;
}

void setupDockClickHandler()
{
    using Runtime = DockRuntime;
    const Runtime::Object applicationClass = Runtime::getClass("NSApplication");
    const Runtime::Object application =
        Runtime::sendMessage(applicationClass, Runtime::registerSelector("sharedApplication"));
    if (!application)
        return;
    const Runtime::Object delegate =
        Runtime::sendMessage(application, Runtime::registerSelector("delegate"));
    const Runtime::Object delegateClassObject =
        Runtime::sendMessage(delegate, Runtime::registerSelector("class"));
    const auto delegateClass = static_cast<Runtime::Class>(delegateClassObject);
    const Runtime::Selector reopen =
        Runtime::registerSelector("applicationShouldHandleReopen:hasVisibleWindows:");
    const auto handler = reinterpret_cast<Runtime::Implementation>(
        static_cast<Runtime::ReopenMethod>(&dockClickHandler));

    if (Runtime::instanceMethod(delegateClass, reopen)) {
        if (Runtime::replaceMethod(delegateClass, reopen, handler, "B@:"))
            qDebug("Registered dock click handler (replaced original method)");
        else
            qWarning("Failed to replace method for dock click handler");
    } else if (Runtime::addMethod(delegateClass, reopen, handler, "B@:")) {
        qDebug("Registered dock click handler");
    } else {
        qWarning("Failed to register dock click handler");
    }
}
