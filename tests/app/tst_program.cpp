#include "core/sysinfotool.h"
#include "settings/applicationsettings.h"
#include "settings/qsimplecipher.h"
#include "support/programrunner.h"
#include "support/testbytes.h"
#include "support/testmain.h"

#include <QLocalSocket>
#include <csignal>
#include <sys/fsuid.h>
#include <sys/stat.h>

using namespace TestSupport;

namespace {
constexpr int kWaitMs = 60000;
const char kWindowRun[] = "void MainWindow::run()";
const char kWindowShown[] = "void MainWindow::handleAppInstanceMsg()";
const char kTerminated[] = "[ TolvaneMailConnect ] Terminated";
const char kWindowClosed[] = "window closer: main window closed";
constexpr uint kOtherUser = 65534; // "nobody"
// The name of the single-instance objects of the test's user: the key and the user's id.
const QString kInstanceName = "tolvanemail_connect-" + QString::number(::geteuid());

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The program's n-th line (from 1) for the user's account reaching its HomeBridge, once written;
// no match when it does not come (another process's file gives no signal to wait on).
QRegularExpressionMatch connection(const ProgramRunner &program, const QString &user, int n = 1)
{
    const QRegularExpression line("\\] " + QRegularExpression::escape(user) +
                                  " connected via (\\w+): POP3 ([\\d.]+):(\\d+), SMTP ([\\d.]+):"
                                  "(\\d+), PMTP [\\d.]+:\\d+\\n");
    for (QDeadlineTimer deadline(kWaitMs); !deadline.hasExpired(); QTest::qWait(20)) {
        auto found = line.globalMatch(program.logText());
        for (int i = 1; found.hasNext(); ++i) {
            if (const QRegularExpressionMatch match = found.next(); i == n)
                return match;
        }
    }
    return {};
}

// A mail client's TLS connections to the POP3 and SMTP ports of the line: the HomeBridge's
// service greets, then echoes 1 MiB unchanged.
void exchange(const QRegularExpressionMatch &line)
{
    for (int service : {0, 1}) {
        QSslSocket client;
        client.setPeerVerifyMode(QSslSocket::VerifyNone);
        client.connectToHostEncrypted(line.captured(2 + 2 * service),
                                      line.captured(3 + 2 * service).toUShort());
        QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), kWaitMs);
        QVERIFY(client.readLine().startsWith(service == 0 ? "+OK " : "220 "));
        const QByteArray payload = TestBytes::make(1 << 20, service);
        client.write(payload);
        QByteArray echoed;
        QTRY_VERIFY_WITH_TIMEOUT((echoed += client.readAll()).size() >= payload.size(), kWaitMs);
        QCOMPARE(TestBytes::sha256(echoed), TestBytes::sha256(payload));
    }
}
} // namespace

// The real program: on the road of the sandbox, and started several times by one user. Each case
// has a home and a temporary folder (where the single-instance key's files lie) of its own; every
// start runs beside a "log.cfg" that turns on the main window's trace lines, which tell when a
// window is shown.
class TestProgram : public QObject
{
    Q_OBJECT
    QTemporaryDir m_sandboxFolder;
    QProcess m_sandbox;
    const QString m_tmp = QDir::tempPath();
    std::unique_ptr<QTemporaryDir> m_case;
    QString m_log;      // the day's log file of the case's home
    QString m_otherLog; // and of the other user's home in the case
    std::vector<std::unique_ptr<ProgramRunner>> m_starts;

    // The home of the test's user (0) or of the other user in the case.
    QString homeOf(uint user) const
    {
        return user == 0 ? m_case->path() : m_case->path() + "/home-" + QString::number(user);
    }
    // A start in the user's home; with users, an account each, on the sandbox's road.
    ProgramRunner &prepare(const QStringList &users = {}, uint user = 0)
    {
        QDir().mkpath(homeOf(user));
        m_starts.push_back(std::make_unique<ProgramRunner>(homeOf(user)));
        ProgramRunner &program = *m_starts.back();
        program.setUser(user);
        QFile levels(program.folder() + "/log.cfg");
        if (levels.open(QIODevice::WriteOnly))
            levels.write("MainWindow = TRACE\n");
        if (users.isEmpty())
            return program;
        const QString folder = program.dataLocation() + '/';
        ApplicationSettings::drop();
        ApplicationSettings::instance()->getConfigData(folder, folder + "config.json");
        for (int i = 0; i < users.size(); ++i) {
            ApplicationSettings::instance()->saveAccountData(
                {users[i], users[i], {}, 11000 + 2 * i, 11001 + 2 * i});
        }
        QFile::copy(m_sandboxFolder.filePath("config.cfg"), program.folder() + "/config.cfg");
        return program;
    }
    int logCount(const char *text, uint user = 0) const
    {
        return readFile(user == 0 ? m_log : m_otherLog).count(text);
    }
    // Stops the program with the signals: it ends with code 0 and one more "Terminated" line.
    void stop(ProgramRunner &program, const QList<int> &toSend = {SIGTERM})
    {
        const int before = logCount(kTerminated);
        for (int signal : toSend)
            program.sendSignal(signal);
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process().exitCode(), 0);
        QCOMPARE(logCount(kTerminated), before + 1);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox.setProcessChannelMode(QProcess::ForwardedErrorChannel); // its reports show here
        m_sandbox.start(binaryDir() + "/bin/tolvane-sandbox",
                        {m_sandboxFolder.path(), "lan@tolvane.com",
                         "internet@tolvane.com=internet,relay", "relay@tolvane.com=relay",
                         "pro@tolvane.com=direct"});
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox.canReadLine(), kWaitMs);
        const QJsonDocument ready = QJsonDocument::fromJson(m_sandbox.readLine());
        QVERIFY(ready["external_ip_url"].toString().startsWith("http://127.0.0.1:"));
        qputenv("TOLVANE_EXTERNAL_IP_URL", ready["external_ip_url"].toString().toUtf8());
    }
    void cleanupTestCase()
    {
        m_sandbox.terminate();
        QVERIFY(m_sandbox.waitForFinished(30000));
        QCOMPARE(m_sandbox.exitCode(), 0);
    }
    void init()
    {
        m_case = std::make_unique<QTemporaryDir>(m_tmp + "/case-XXXXXX");
        QVERIFY(QDir(m_case->path()).mkpath("tmp"));
        qputenv("TMPDIR", QFile::encodeName(m_case->path() + "/tmp"));
        m_log = ProgramRunner(m_case->path()).logFilePath();
        m_otherLog = ProgramRunner(homeOf(kOtherUser)).logFilePath();
    }
    void cleanup()
    {
        for (const auto &start : m_starts) { // ended in order: no segment is left behind
            start->sendSignal(SIGTERM);
            start->waitForFinished();
        }
        m_starts.clear();
    }

    void road_data()
    {
        // The accounts and the program's arguments; the path each account takes, or its error.
        QTest::addColumn<QStringList>("users");
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QStringList>("outcomes");
        QTest::newRow("LAN") << QStringList{"lan@tolvane.com"} << "" << QStringList{"kLAN"};
        QTest::newRow("relay forced, all paths offered")
            << QStringList{"lan@tolvane.com"} << "-R" << QStringList{"kRelay"};
        QTest::newRow("direct") << QStringList{"pro@tolvane.com"} << "" << QStringList{"kPro"};
        QTest::newRow("Internet, relay and an unknown account")
            << QStringList{"internet@tolvane.com", "relay@tolvane.com", "nobody@tolvane.com"} << ""
            << QStringList{"kInternet", "kRelay", "error 0: Incorrect username and/or password"};
    }
    void road()
    {
        QFETCH(QStringList, users);
        QFETCH(QString, arguments);
        QFETCH(QStringList, outcomes);
        ProgramRunner &program = prepare(users);
        QVERIFY(program.start(arguments.split(' ', Qt::SkipEmptyParts)));
        for (int i = 0; i < users.size(); ++i) {
            if (outcomes[i].startsWith("error")) {
                QVERIFY(program.waitForLog("] " + users[i] + ' ' + outcomes[i] + '\n', kWaitMs));
                continue;
            }
            const QRegularExpressionMatch line = connection(program, users[i]);
            QCOMPARE(line.captured(1), outcomes[i]);
            exchange(line);
        }
        stop(program);
    }

    void relayServerDropsTheLink()
    {
        ProgramRunner &program = prepare({"relay@tolvane.com"});
        QVERIFY(program.start());
        QVERIFY(connection(program, "relay@tolvane.com").hasMatch());
        ::kill(pid_t(m_sandbox.processId()), SIGUSR1);
        QVERIFY(program.waitForLog("] relay@tolvane.com disconnected\n", kWaitMs));
        const QRegularExpressionMatch again = connection(program, "relay@tolvane.com", 2);
        QCOMPARE(again.captured(1), QStringLiteral("kRelay"));
        exchange(again);
    }

    void laterStartsHandOver()
    {
        // SIGKILL leaves the segment, its key file and the server's socket file behind.
        ProgramRunner &killed = prepare();
        QVERIFY(killed.start());
        QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowRun), 1, kWaitMs);
        killed.sendSignal(SIGKILL);
        QVERIFY(killed.waitForFinished());
        QVERIFY(QFile::exists(m_case->path() + "/tmp/" + kInstanceName));
        ProgramRunner &first = prepare();
        first.setClosesWindow(true);
        QVERIFY(first.start());
        QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowRun), 2, kWaitMs);
        QVERIFY(first.output().contains("Registered dock click handler"));
        // Its window closed, it runs on in the tray, so the next start still hands over to it.
        QTRY_VERIFY_WITH_TIMEOUT(first.output().contains(kWindowClosed), kWaitMs);

        ProgramRunner &second = prepare();
        QVERIFY(second.start() && second.waitForFinished());
        QCOMPARE(second.process().exitCode(), 1);
        // The first shows its window; the line reaches its console pipe while it runs.
        QTRY_VERIFY_WITH_TIMEOUT(first.output().contains(kWindowShown), kWaitMs);
        QCOMPARE(logCount(kWindowShown), 1);
        stop(first, {SIGINT, SIGTERM});
    }

    void blockedKeyFiles_data()
    {
        QTest::addColumn<bool>("runs");
        // Neither removable nor listenable: the start ends as if another instance ran.
        QTest::newRow("directory in the server's place") << false;
        // No segment, semaphore or server can be made there: the program runs without them.
        QTest::newRow("temporary folder is a file") << true;
    }
    void blockedKeyFiles()
    {
        QFETCH(bool, runs);
        const QString tmp = m_case->path() + "/tmp";
        ProgramRunner &program = prepare();
        QVERIFY(runs ? QFile(tmp + "/file").open(QIODevice::WriteOnly)
                     : QDir().mkpath(tmp + '/' + kInstanceName));
        if (runs)
            qputenv("TMPDIR", QFile::encodeName(tmp + "/file"));
        QVERIFY(program.start());
        if (runs)
            QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowRun), 1, kWaitMs);
        else
            QVERIFY(program.waitForFinished() && program.process().exitCode() == 1);
    }

    // Users who share the temporary folder (as /tmp is shared) have an instance each, and reach
    // only their own.
    void usersShareTheTemporaryFolder()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to start the program as another user");
        const QString tmp = m_case->path() + "/tmp";
        QVERIFY(::chmod(QFile::encodeName(tmp), 01777) == 0);
        for (QString dir = m_case->path(); dir.startsWith(QFileInfo(m_tmp).path());
             dir = QFileInfo(dir).path())
            QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeOther));
        // The test's user first, under a umask that would leave its socket open to everyone.
        ProgramRunner &mine = prepare();
        const mode_t umask = ::umask(0);
        const bool started = mine.start();
        ::umask(umask);
        QVERIFY(started);
        QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowRun), 1, kWaitMs);

        // The other user's first start runs beside it; its second ends and shows that window.
        QVERIFY(prepare({}, kOtherUser).start());
        QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowRun, kOtherUser), 1, kWaitMs);
        ProgramRunner &theirSecond = prepare({}, kOtherUser);
        QVERIFY(theirSecond.start() && theirSecond.waitForFinished());
        QCOMPARE(theirSecond.process().exitCode(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowShown, kOtherUser), 1, kWaitMs);
        QCOMPARE(logCount(kWindowShown), 0);
        // The test's user's second start the same, with its own instance only.
        ProgramRunner &mySecond = prepare();
        QVERIFY(mySecond.start() && mySecond.waitForFinished());
        QCOMPARE(mySecond.process().exitCode(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowShown), 1, kWaitMs);
        QCOMPARE(logCount(kWindowShown, kOtherUser), 1);
        QCOMPARE(logCount(kWindowRun) + logCount(kWindowRun, kOtherUser), 2);

        // The other user cannot even connect to the test's user's instance.
        QVERIFY(QFileInfo::exists(tmp + '/' + kInstanceName));
        ::setfsgid(kOtherUser);
        ::setfsuid(kOtherUser);
        QLocalSocket stranger;
        stranger.connectToServer(tmp + '/' + kInstanceName);
        const bool reached = stranger.waitForConnected(kWaitMs);
        ::setfsuid(::geteuid());
        ::setfsgid(::getegid());
        QVERIFY(!reached);
    }

    void simultaneousStartsLeaveOne()
    {
        for (int i = 0; i < 4; ++i)
            QVERIFY(prepare().start());
        // Exactly one runs on, and every other start has shown it its window.
        QTRY_COMPARE_WITH_TIMEOUT(logCount(kWindowShown), 3, kWaitMs);
        QCOMPARE(logCount(kWindowRun), 1);
    }

    void settingsFileAcrossStarts()
    {
        // The first start finds a damaged settings file and keeps it aside; the second finds the
        // native settings of older versions, the password bound to this computer's hardware
        // identifier, and moves them into a new file, the password enciphered anew.
        const QString data = ProgramRunner(m_case->path()).dataLocation() + '/';
        const QString legacyFile = data + "Tolvane/TolvaneMailConnect.conf";
        const QByteArray damaged = "{\"Accounts\": [{\"account_name\": \"work\", \"lo";
        QFile file(data + "config.json");
        QVERIFY(QDir().mkpath(data) && file.open(QIODevice::WriteOnly) && file.write(damaged) > 0);
        file.close();
        {
            QSimpleCipher hardware(QSimpleCipher::kAes256, QSimpleCipher::kCbc, "4rt8,.27mkdj39d81",
                                   SysInfoTool::hardwareUid().toLatin1());
            QSettings settings(legacyFile, QSettings::NativeFormat);
            settings.setValue("login", "bob@example.org");
            settings.setValue("password", QString(hardware.encrypt("secret").toBase64()));
            settings.setValue("pop3", 2110);
            settings.setValue("relay", false);
        }
        const QByteArray legacyBytes = readFile(legacyFile);
        for (int run = 1; run <= 2 && !QTest::currentTestFailed(); ++run) {
            ProgramRunner &program = prepare();
            QVERIFY(program.start());
            // The outcome of the update check (refused by a closed port) is the last step of
            // start-up.
            QTRY_COMPARE_WITH_TIMEOUT(logCount("Update check failed:"), run, kWaitMs);
            stop(program);
        }
        const QStringList aside = QDir(data).entryList({"config.json.*.damaged"});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(data + aside.first()), damaged);
        QCOMPARE(readFile(data + "config.json"), QJsonDocument::fromJson(R"({"Accounts": [{
"account_name": "bob", "login": "bob@example.org", "password": "gfjwRX/W6O+QEL66oFL0ZQ==",
"pop3_port": 2110, "show_disconnected_widget": true, "show_notifications": true,
"smtp_port": 25}], "Connection_Type": {"internet": true, "lan": true, "relay": false},
"General_Settings": {"AutoStart": true}})")
                                                     .toJson());
        QCOMPARE(QFile::permissions(data + "config.json") & (QFile::ReadGroup | QFile::ReadOther),
                 QFile::Permissions());
        QCOMPARE(readFile(legacyFile), legacyBytes);
        QVERIFY(QFile::exists(data + "help_new/index.html"));
    }
};

TOLVANE_TEST_MAIN(TestProgram)
#include "tst_program.moc"
