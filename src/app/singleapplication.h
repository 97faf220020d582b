#pragma once

#include "app/dockruntime.h"

#include <QApplication>
#include <QSharedMemory>
#include <QString>

class QLocalServer;

// The program's application object, which also keeps one instance running per key and user. The
// first instance holds a one-byte shared-memory segment named after the key and the user's id
// ("<key>-<uid>") and listens on an owner-only local server of that name; a later start of the
// same user finds the segment, sends the first instance a message and reports through
// isRunning() that it must end. A system semaphore "<<key>-<uid>>" makes the check and the
// creation one step across processes.
class SingleApplication : public QApplication
{
    Q_OBJECT
public:
    SingleApplication(int &argc, char **argv, const QString &key);
    ~SingleApplication() override;

    // True when another instance held the key at construction, or when this one could not
    // start its local server.
    bool isRunning() const;
    // Sends a message to the running instance. False at once when no other instance runs.
    bool sendMessage(const QString &message);

Q_SIGNALS:
    void messageAvailable();
    void dockClicked();

public Q_SLOTS:
    void receiveMessage();
    void onClickOnDock();

private:
    // How long each blocking step of the message exchange may wait.
    static constexpr int kMessageTimeoutMs = 3000;

    bool m_running = false;
    QString m_key;
    // The key and the user's id: the name of the segment, the semaphore and the server.
    QString m_userKey;
    QSharedMemory m_sharedMemory;
    QLocalServer *m_localServer = nullptr;
};

// Installs the hook that turns a click on the dock icon into SingleApplication::dockClicked().
void setupDockClickHandler();
// The hook body: the desktop's reopen request. Answers NO, so the desktop does nothing itself.
bool dockClickHandler(DockRuntime::Object self, DockRuntime::Selector cmd, ...);
