#include "support/testenvironment.h"
#include "support/testmain.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <vector>

namespace {
// A failing QTRY_* waits three times this long; it keeps each case within the test watchdog.
constexpr int kWaitMs = 30000;
const char kProgram[] = "TolvaneMailConnect";
} // namespace

// Starts of the real program sharing one user: its own HOME, data folder and temporary folder,
// so the fixed single-instance key meets no other test. The program runs from a copy next to a
// "log.cfg" that turns on the main window's trace lines.
class TestSingleInstance : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_case;
    QString m_program;
    std::vector<std::unique_ptr<QProcess>> m_starts;

    QProcess *start()
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString base = m_case->path();
        environment.insert(QStringLiteral("HOME"), base + QStringLiteral("/home"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), base + QStringLiteral("/home/data"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           base + QStringLiteral("/home/config"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), base + QStringLiteral("/home/cache"));
        environment.insert(QStringLiteral("TMPDIR"), base + QStringLiteral("/tmp"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // The update query goes to a loopback port where nothing listens.
        environment.insert(QStringLiteral("TOLVANE_UPDATE_BASE_URL"),
                           QStringLiteral("http://127.0.0.2:9"));
        process->setProcessEnvironment(environment);
        const QString work = base + QStringLiteral("/work%1").arg(m_starts.size());
        QDir().mkpath(work);
        process->setWorkingDirectory(work);
        process->setStandardOutputFile(work + QStringLiteral("/stdout.txt"));
        process->setStandardErrorFile(work + QStringLiteral("/stderr.txt"));
        process->start(m_program, QStringList());
        m_starts.push_back(std::move(process));
        return m_starts.back().get();
    }

    // Everything the program wrote into the daily files of its "logs" folder.
    QByteArray logs() const
    {
        const QDir dir(m_case->path() +
                       QStringLiteral("/home/data/Tolvane/TolvaneMailConnect/logs"));
        QByteArray all;
        for (const QString &name : dir.entryList({QStringLiteral("tolvanemail_connect_*.log")},
                                                 QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                all += file.readAll();
        }
        return all;
    }

    int logCount(const char *text) const { return logs().count(text); }

    static bool finished(QProcess *process)
    {
        return QTest::qWaitFor([process] { return process->state() == QProcess::NotRunning; },
                               kWaitMs);
    }

private Q_SLOTS:
    void init()
    {
        m_case = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/run-XXXXXX"));
        QVERIFY(m_case->isValid());
        for (const char *folder : {"home/data", "home/config", "home/cache", "tmp", "bin"})
            QVERIFY(QDir().mkpath(m_case->path() + QLatin1Char('/') + QLatin1String(folder)));

        m_program = m_case->path() + QStringLiteral("/bin/") + QLatin1String(kProgram);
        QVERIFY(QFile::copy(TestSupport::binaryDir() + QStringLiteral("/bin/") +
                                QLatin1String(kProgram),
                            m_program));
        QVERIFY(QFile::setPermissions(m_program,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QFile levels(m_case->path() + QStringLiteral("/bin/log.cfg"));
        QVERIFY(levels.open(QIODevice::WriteOnly));
        levels.write("MainWindow = TRACE\n");
        levels.close();
    }

    void cleanup()
    {
        for (auto &process : m_starts) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                if (!process->waitForFinished(kWaitMs))
                    process->kill();
                process->waitForFinished(kWaitMs);
            }
        }
        m_starts.clear();
        m_case.reset();
    }

    void secondStartShowsTheFirstWindow()
    {
        QProcess *first = start();
        QTRY_COMPARE_WITH_TIMEOUT(logCount("void MainWindow::run()"), 1, kWaitMs);
        QCOMPARE(first->state(), QProcess::Running);

        QProcess *second = start();
        QVERIFY(finished(second));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 1);

        // The first instance received the message and showed its window once.
        QTRY_COMPARE_WITH_TIMEOUT(logCount("void MainWindow::handleAppInstanceMsg()"), 1, kWaitMs);
        QCOMPARE(logCount("\"Application has been already launched\""), 1);
        // The second start never reached its own logging set-up, settings or window.
        QCOMPARE(logCount("Storage location: "), 1);
        QCOMPARE(logCount("void MainWindow::run()"), 1);
        QCOMPARE(first->state(), QProcess::Running);

        first->terminate();
        QVERIFY(finished(first));
        QCOMPARE(first->exitStatus(), QProcess::NormalExit);
        QCOMPARE(first->exitCode(), 0);

        // With the first one gone, the next start runs.
        QProcess *third = start();
        QTRY_COMPARE_WITH_TIMEOUT(logCount("void MainWindow::run()"), 2, kWaitMs);
        QCOMPARE(third->state(), QProcess::Running);
    }

    void killedInstanceDoesNotLockOut()
    {
        QProcess *crashed = start();
        QTRY_COMPARE_WITH_TIMEOUT(logCount("void MainWindow::run()"), 1, kWaitMs);
        crashed->kill();
        QVERIFY(finished(crashed));
        QCOMPARE(crashed->exitStatus(), QProcess::CrashExit);
        QVERIFY(QFileInfo::exists(m_case->path() + QStringLiteral("/tmp/tolvanemail_connect")));

        QProcess *next = start();
        QTRY_COMPARE_WITH_TIMEOUT(logCount("void MainWindow::run()"), 2, kWaitMs);
        QCOMPARE(next->state(), QProcess::Running);

        QProcess *later = start();
        QVERIFY(finished(later));
        QCOMPARE(later->exitCode(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(logCount("void MainWindow::handleAppInstanceMsg()"), 1, kWaitMs);
    }
};

TOLVANE_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
