#include "support/programrunner.h"

#include "support/certificatefactory.h"
#include "support/testenvironment.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <csignal>

namespace TestSupport {

ProgramRunner::ProgramRunner(const QString &home, QObject *parent)
    : QObject(parent), m_home(home.isEmpty() ? m_ownHome.path() : home),
      m_programPath(programPath())
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this,
            [this] { m_stdout += m_process.readAllStandardOutput(); });
    connect(&m_process, &QProcess::readyReadStandardError, this,
            [this] { m_stderr += m_process.readAllStandardError(); });
}

ProgramRunner::~ProgramRunner()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

QString ProgramRunner::programPath()
{
    return binaryDir() + QStringLiteral("/bin/TolvaneMailConnect");
}

QString ProgramRunner::useOwnCopy()
{
    const QString copy = m_ownCopyDir.path() + QStringLiteral("/TolvaneMailConnect");
    if (!QFile::exists(copy) && !QFile::copy(programPath(), copy))
        return QString();
    m_programPath = copy;
    return m_ownCopyDir.path();
}

bool ProgramRunner::start(const QStringList &arguments)
{
    // The registry is the closed loopback port too, unless the test put a "config.cfg" of its
    // own beside the program.
    const QString folder = useOwnCopy();
    if (folder.isEmpty() || (!QFile::exists(folder + QStringLiteral("/config.cfg")) &&
                             CertificateFactory::writeRegistryConfig(folder, 9).isEmpty())) {
        return false;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), m_home);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home + QStringLiteral("/.cache"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Outside services go to a closed loopback port, never outside.
    environment.insert(QStringLiteral("TOLVANE_UPDATE_BASE_URL"),
                       QStringLiteral("https://127.0.0.1:9"));
    environment.insert(QStringLiteral("TOLVANE_EXTERNAL_IP_URL"),
                       QStringLiteral("http://127.0.0.1:9/"));
    environment.insert(QStringLiteral("TOLVANE_LOCAL_IP_PROBE"), QStringLiteral("127.0.0.1:9"));
    environment.insert(m_environment);
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(m_workDir.path());
    m_process.start(m_programPath, arguments);
    return m_process.waitForStarted(30000);
}

void ProgramRunner::sendSignal(int signal)
{
    ::kill(pid_t(m_process.processId()), signal);
}

bool ProgramRunner::waitForFinished(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    QSignalSpy finished(&m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    return finished.wait(timeoutMs) || m_process.state() == QProcess::NotRunning;
}

QString ProgramRunner::workDir() const
{
    return m_workDir.path();
}

QString ProgramRunner::dataLocation() const
{
    return m_home + QStringLiteral("/.local/share/Tolvane/TolvaneMailConnect");
}

QString ProgramRunner::logFilePath() const
{
    return dataLocation() + QStringLiteral("/logs/tolvanemail_connect_") +
           QDate::currentDate().toString(QStringLiteral("yyMMdd")) + QStringLiteral(".log");
}

QString ProgramRunner::logText() const
{
    QFile file(logFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool ProgramRunner::waitForLog(const QString &text, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!logText().contains(text)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20); // polls a file: there is no signal for another process's writes
    }
    return true;
}

} // namespace TestSupport
