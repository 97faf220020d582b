#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace TestSupport {

// Starts the real program as its own process with a home folder of its own, on the offscreen
// platform, and reads what it writes.
class ProgramRunner : public QObject
{
    Q_OBJECT
public:
    // `home` is the program's HOME (its data lives under <home>/.local/share); a fresh temporary
    // folder when empty. Several runners may share one home to test what a second start sees.
    explicit ProgramRunner(const QString &home = QString(), QObject *parent = nullptr);
    ~ProgramRunner() override;

    static QString programPath();
    // Runs a private copy of the program from a folder of its own, so files beside the
    // executable ("log.cfg", "config.cfg") can be set up without touching other tests.
    // Returns that folder, or an empty text when the copy failed.
    QString useOwnCopy();

    // Starts the private copy; without a "config.cfg" of the test's, one pointing the registry
    // at a closed loopback port is put beside it, so the program never reaches outside.
    bool start(const QStringList &arguments = {});
    // An environment variable for the next start, in place of the runner's own value.
    void setEnvironment(const QString &name, const QString &value)
    {
        m_environment.insert(name, value);
    }
    // Sends a signal (SIGTERM, SIGINT, SIGKILL...) to the running program.
    void sendSignal(int signal);
    // Waits for the program to end; false on time-out.
    bool waitForFinished(int timeoutMs = 30000);

    QProcess &process() { return m_process; }
    QString home() const { return m_home; }
    QString workDir() const;
    // The per-user data location of the program: <home>/.local/share/Tolvane/TolvaneMailConnect.
    QString dataLocation() const;
    // Today's log file in the "logs" folder of the data location.
    QString logFilePath() const;
    QString logText() const;
    // Waits until the day's log file holds `text`; false on time-out.
    bool waitForLog(const QString &text, int timeoutMs = 30000) const;

    QByteArray standardOutput() const { return m_stdout; }
    QByteArray standardError() const { return m_stderr; }

private:
    QTemporaryDir m_ownHome;
    QString m_home;
    QTemporaryDir m_workDir;
    QTemporaryDir m_ownCopyDir;
    QString m_programPath;
    QProcess m_process;
    QProcessEnvironment m_environment;
    QByteArray m_stdout;
    QByteArray m_stderr;
};

} // namespace TestSupport
