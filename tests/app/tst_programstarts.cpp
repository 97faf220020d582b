#include "core/sysinfotool.h"
#include "settings/qsimplecipher.h"
#include "support/programrunner.h"
#include "support/testmain.h"

#include <csignal>
#include <memory>
#include <vector>

using TestSupport::ProgramRunner;

namespace {
constexpr int kWaitMs = 30000;
const char kWindowRun[] = "void MainWindow::run()";
const char kWindowShown[] = "void MainWindow::handleAppInstanceMsg()";
const char kHook[] = "dock click handler";
// One account as an older run left it; the password is "secret" in stored form.
const QByteArray kStored = R"({"Accounts": [{"account_name": "work", "login": "ann@example.com",
"password": "gfjwRX/W6O+QEL66oFL0ZQ==", "pop3_port": 1110, "show_disconnected_widget": true,
"show_notifications": false, "smtp_port": 1025}], "Connection_Type": {"internet": true,
"lan": true, "relay": true}, "General_Settings": {"AutoStart": true}}
)";
// Older versions kept native settings below the data location, with the password bound to this
// computer's hardware identifier; a start moves them into the settings file, the password
// enciphered anew with the settings cipher.
const QByteArray kMigrated = R"({"Accounts": [{"account_name": "bob", "login": "bob@example.org",
"password": "gfjwRX/W6O+QEL66oFL0ZQ==", "pop3_port": 2110, "show_disconnected_widget": true,
"show_notifications": true, "smtp_port": 25}], "Connection_Type": {"internet": true,
"lan": true, "relay": false}, "General_Settings": {"AutoStart": true}})";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

// Starts of the real program by one user. Each case has a home and a temporary folder of its own,
// where the single-instance key's files lie. Every start runs a copy of the program beside a
// "log.cfg" that turns on the main window's trace lines, which tell when a window is shown.
class TestProgramStarts : public QObject
{
    Q_OBJECT

    const QByteArray m_tmpDir = qgetenv("TMPDIR");
    std::unique_ptr<QTemporaryDir> m_case;
    QString m_log; // the day's log file in the "logs" folder of the program's data location
    std::vector<std::unique_ptr<ProgramRunner>> m_starts;

    ProgramRunner *prepare()
    {
        m_starts.push_back(std::make_unique<ProgramRunner>(m_case->path()));
        QFile levels(m_starts.back()->useOwnCopy() + QStringLiteral("/log.cfg"));
        if (levels.open(QIODevice::WriteOnly))
            levels.write("MainWindow = TRACE\n");
        return m_starts.back().get();
    }
    int logCount(const char *text) const { return readFile(m_log).count(text); }
    // Starts the program, waits for the outcome of its update check (refused by a closed port),
    // the last step of start-up, and stops it with SIGTERM.
    void runOnce()
    {
        const int before = logCount("Update check failed:");
        ProgramRunner *program = prepare();
        QVERIFY(program->start());
        QTRY_VERIFY_WITH_TIMEOUT(logCount("Update check failed:") > before, kWaitMs);
        program->sendSignal(SIGTERM);
        QVERIFY(program->waitForFinished());
        QCOMPARE(program->process().exitCode(), 0);
    }

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); }
    void init()
    {
        m_case = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(m_case->path() + QStringLiteral("/tmp")));
        qputenv("TMPDIR", QFile::encodeName(m_case->path() + QStringLiteral("/tmp")));
        m_log = ProgramRunner(m_case->path()).logFilePath();
    }
    void cleanup()
    {
        for (const auto &start : m_starts) { // ended in order: no segment is left behind
            if (start->process().state() == QProcess::Running)
                start->sendSignal(SIGTERM);
            start->waitForFinished();
        }
        m_starts.clear();
        qputenv("TMPDIR", m_tmpDir);
    }

    void laterStartHandsOver_data()
    {
        QTest::addColumn<QString>("leftover");
        QTest::addColumn<bool>("firstRuns");
        QTest::addColumn<bool>("serves");
        QTest::newRow("nothing") << QString() << true << true;
        // SIGKILL leaves the segment, its key file and the server's socket file behind.
        QTest::newRow("killed instance") << "killed" << true << true;
        // Neither removable nor listenable: the start ends as if another instance ran.
        QTest::newRow("directory in the server's place") << "directory" << false << false;
        // No segment, semaphore or server can be made there: the program runs without them.
        QTest::newRow("temporary folder is a file") << "file" << true << false;
    }

    void laterStartHandsOver()
    {
        QFETCH(QString, leftover);
        QFETCH(bool, firstRuns);
        QFETCH(bool, serves);
        const QString tmp = QString::fromLocal8Bit(qgetenv("TMPDIR"));
        if (leftover == QLatin1String("killed")) {
            QVERIFY(prepare()->start());
            QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowRun), 1, kWaitMs);
            m_starts.back()->sendSignal(SIGKILL);
            QVERIFY(m_starts.back()->waitForFinished());
            QVERIFY(QFile::exists(tmp + QStringLiteral("/tolvanemail_connect")));
        }
        if (leftover == QLatin1String("directory"))
            QVERIFY(QDir().mkpath(tmp + QStringLiteral("/tolvanemail_connect")));
        const int runs = logCount(kWindowRun);
        ProgramRunner *first = prepare();
        if (leftover == QLatin1String("file")) {
            QVERIFY(QFile(tmp + QStringLiteral("/file")).open(QIODevice::WriteOnly));
            qputenv("TMPDIR", QFile::encodeName(tmp + QStringLiteral("/file")));
        }
        QVERIFY(first->start());
        if (firstRuns)
            QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowRun), runs + 1, kWaitMs);
        else
            QVERIFY(first->waitForFinished() && first->process().exitCode() == 1);
        QCOMPARE(first->standardOutput().contains(kHook), serves); // only with a server
        if (!serves)
            return;

        ProgramRunner *second = prepare();
        QVERIFY(second->start() && second->waitForFinished());
        QCOMPARE(second->process().exitCode(), 1);
        QVERIFY(!second->standardOutput().contains(kHook));
        // The first shows its window; the line reaches its console pipe while it runs.
        QTRY_VERIFY_WITH_TIMEOUT(first->standardOutput().contains(kWindowShown), kWaitMs);
        QCOMPARE(first->process().state(), QProcess::Running);
        QCOMPARE(logCount(kWindowShown), 1);
    }

    void simultaneousStarts()
    {
        const int starts = 4;
        for (int i = 0; i < starts; ++i)
            prepare();
        for (const auto &program : m_starts)
            QVERIFY(program->start());
        // Exactly one runs on, and every other start has shown it its window.
        QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowShown), starts - 1, kWaitMs);
        QCOMPARE(logCount(kWindowRun), 1);
    }

    void settingsFileAcrossStarts_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QByteArray>("keptAside");
        const QByteArray damaged = kStored.left(kStored.size() / 2);
        QTest::newRow("one account") << kStored << false << kStored << QByteArray();
        QTest::newRow("damaged") << damaged << false << QByteArray() << damaged;
        QTest::newRow("legacy settings")
            << QByteArray() << true << QJsonDocument::fromJson(kMigrated).toJson() << QByteArray();
    }

    void settingsFileAcrossStarts()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, legacy);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArray, keptAside);
        const QString data = ProgramRunner(m_case->path()).dataLocation();
        const QString file = data + QStringLiteral("/config.json");
        const QString legacyFile = data + QStringLiteral("/Tolvane/TolvaneMailConnect.conf");
        QVERIFY(QDir().mkpath(data));
        if (!stored.isNull()) {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(stored) == stored.size());
        }
        if (legacy) {
            QSimpleCipher hardware(QSimpleCipher::kAes256, QSimpleCipher::kCbc,
                                   QByteArray("4rt8,.27mkdj39d81"),
                                   SysInfoTool::hardwareUid().toLatin1());
            QSettings settings(legacyFile, QSettings::NativeFormat);
            settings.setValue("login", "bob@example.org");
            settings.setValue("password",
                              QString::fromLatin1(hardware.encrypt("secret").toBase64()));
            settings.setValue("pop3", 2110);
            settings.setValue("relay", false);
        }
        const QByteArray legacyBytes = readFile(legacyFile);
        // The program saves nothing by itself: the second start leaves the file as the first did.
        for (int run = 0; run < 2 && !QTest::currentTestFailed(); ++run)
            runOnce();
        QCOMPARE(readFile(file), expected);
        const QStringList aside = QDir(data).entryList({QStringLiteral("*.damaged")});
        QCOMPARE(aside.size(), keptAside.isNull() ? 0 : 1);
        if (!aside.isEmpty())
            QCOMPARE(readFile(data + QLatin1Char('/') + aside.first()), keptAside);
        QCOMPARE(readFile(legacyFile), legacyBytes);
        if (legacy) // it holds the passwords' cipher text
            QCOMPARE(QFile::permissions(file) & (QFile::ReadGroup | QFile::ReadOther),
                     QFile::Permissions());
    }
};

TOLVANE_TEST_MAIN(TestProgramStarts)
#include "tst_programstarts.moc"
