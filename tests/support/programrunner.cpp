#include "support/programrunner.h"

#include "support/certificatefactory.h"
#include "support/testenvironment.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QTest>
#include <csignal>
#include <unistd.h>

namespace TestSupport {

namespace {
// Gives the folder and everything in it to the user (and the group of the same number).
bool handOver(const QString &folder, uint user)
{
    bool handed = ::lchown(QFile::encodeName(folder).constData(), user, user) == 0;
    QDirIterator entries(folder,
                         QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext())
        handed = ::lchown(QFile::encodeName(entries.next()).constData(), user, user) == 0 && handed;
    return handed;
}
} // namespace

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
    if (m_closesWindow) {
        // The build's plugin folder comes first; the paths of the test's own environment follow.
        const QString paths = environment.value(QStringLiteral("QT_PLUGIN_PATH"));
        environment.insert(QStringLiteral("QT_PLUGIN_PATH"),
                           binaryDir() + QStringLiteral("/plugins") +
                               (paths.isEmpty() ? QString() : QLatin1Char(':') + paths));
        environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"),
                           QStringLiteral("windowcloser"));
    }
    QString program = copy;
    QStringList programArguments = arguments;
    if (m_user != 0) {
        // A runtime folder of its own: the test's belongs to the test's user.
        const QString runtime = m_home + QStringLiteral("/.runtime");
        if (!QDir().mkpath(runtime) ||
            !QFile::setPermissions(runtime,
                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            return false;
        }
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        for (const QString &path : {folder(), m_workDir.path(), m_home}) {
            if (!handOver(path, m_user))
                return false;
        }
        const QString id = QString::number(m_user);
        program = QStringLiteral("setpriv");
        programArguments =
            QStringList{QStringLiteral("--reuid=") + id, QStringLiteral("--regid=") + id,
                        QStringLiteral("--clear-groups"), QStringLiteral("--"), copy} +
            arguments;
    }
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(m_workDir.path());
    m_process.start(program, programArguments);
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
           QLocale::c().toString(QDate::currentDate(), QStringLiteral("yyMMdd")) +
           QStringLiteral(".log");
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
