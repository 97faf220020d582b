#include "support/programrunner.h"

#include "support/certificatefactory.h"
#include "support/testenvironment.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QTest>
#include <csignal>

namespace TestSupport {

ProgramRunner::ProgramRunner(const QString &home) : m_home(home.isEmpty() ? m_ownHome.path() : home)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { m_output += m_process.readAllStandardOutput(); });
}

ProgramRunner::~ProgramRunner()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

bool ProgramRunner::start(const QStringList &arguments)
{
    const QString copy = folder() + QStringLiteral("/TolvaneMailConnect");
    if (!QFile::copy(binaryDir() + QStringLiteral("/bin/TolvaneMailConnect"), copy) ||
        (!QFile::exists(folder() + QStringLiteral("/config.cfg")) &&
         CertificateFactory::writeRegistryConfig(folder(), 9).isEmpty())) {
        return false;
    }
    // Everything else, outside services included, comes from the test's own environment.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), m_home);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home + QStringLiteral("/.cache"));
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(m_workDir.path());
    m_process.start(copy, arguments);
    return m_process.waitForStarted(30000);
}

void ProgramRunner::sendSignal(int signal)
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(pid_t(m_process.processId()), signal);
}

bool ProgramRunner::waitForFinished(int timeoutMs)
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
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
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool ProgramRunner::waitForLog(const QString &text, int timeoutMs) const
{
    // Polls a file: there is no signal for another process's writes.
    for (QDeadlineTimer deadline(timeoutMs); !logText().contains(text); QTest::qWait(20)) {
        if (deadline.hasExpired())
            return false;
    }
    return true;
}

} // namespace TestSupport
