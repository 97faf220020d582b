#pragma once

#include <QProcess>
#include <QTemporaryDir>

namespace TestSupport {

// Starts a private copy of the real program, from a folder of its own, as its own process with a
// home folder of its own, and collects what it writes to its standard output and error.
class ProgramRunner
{
public:
    // `home` is the program's HOME (its data lives under <home>/.local/share); a fresh temporary
    // folder when empty. Several runners may share one home to test what a later start sees.
    explicit ProgramRunner(const QString &home = QString());
    ~ProgramRunner();
    ProgramRunner(const ProgramRunner &) = delete;
    ProgramRunner &operator=(const ProgramRunner &) = delete;

    // The folder of the copy, where a test puts "log.cfg" or "config.cfg" before the start.
    QString folder() const { return m_folder.path(); }
    // Without a "config.cfg" of the test's, one pointing the registry at a closed loopback port is
    // put beside the copy, so the program never reaches outside.
    bool start(const QStringList &arguments = {});
    // Later starts run as this user and its like-numbered group, with no other groups (through
    // setpriv); start() hands it the copy's folder, the working directory and the home first. The
    // folders above them must be passable for it.
    void setUser(uint id) { m_user = id; }
    // Later starts close the main window once, as soon as it is first shown, as the user does with
    // the window's close button, and then write "window closer: main window closed" to the output.
    void setClosesWindow(bool closes) { m_closesWindow = closes; }
    // Sends a signal (SIGTERM, SIGINT, SIGKILL...) to the program, if it runs.
    void sendSignal(int signal);
    // Waits for the program to end; false on time-out.
    bool waitForFinished(int timeoutMs = 30000);

    QProcess &process() { return m_process; }
    QByteArray output() const { return m_output; }
    // The program's data location: <home>/.local/share/Tolvane/TolvaneMailConnect.
    QString dataLocation() const;
    // Today's log file in the "logs" folder of the data location, and its text.
    QString logFilePath() const;
    QString logText() const;
    // Waits until the day's log file holds `text`; false on time-out.
    bool waitForLog(const QString &text, int timeoutMs = 30000) const;

private:
    QTemporaryDir m_ownHome;
    QString m_home;
    QTemporaryDir m_folder;
    QTemporaryDir m_workDir;
    QProcess m_process;
    QByteArray m_output;
    uint m_user = 0; // 0: the test's own user
    bool m_closesWindow = false;
};

} // namespace TestSupport
