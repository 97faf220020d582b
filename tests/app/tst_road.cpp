#include "settings/applicationsettings.h"
#include "support/programrunner.h"
#include "support/testbytes.h"
#include "support/testmain.h"

#include <csignal>

using namespace TestSupport;

namespace {
// The program's n-th line (from 1) for the user's account reaching its HomeBridge, once written;
// no match when it does not come (another process's file gives no signal to wait on).
QRegularExpressionMatch connection(const ProgramRunner &program, const QString &user, int n = 1)
{
    const QRegularExpression line("\\] " + QRegularExpression::escape(user) +
                                  " connected via (\\w+): POP3 ([\\d.]+):(\\d+), SMTP ([\\d.]+):"
                                  "(\\d+), PMTP [\\d.]+:\\d+\\n");
    for (QDeadlineTimer deadline(60000); !deadline.hasExpired(); QTest::qWait(20)) {
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
        QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), 30000);
        QVERIFY(client.readLine().startsWith(service == 0 ? "+OK " : "220 "));
        const QByteArray payload = TestBytes::make(1 << 20, service);
        client.write(payload);
        QByteArray echoed;
        QTRY_VERIFY_WITH_TIMEOUT((echoed += client.readAll()).size() >= payload.size(), 60000);
        QCOMPARE(TestBytes::sha256(echoed), TestBytes::sha256(payload));
    }
}
} // namespace

// The real program on the road of the sandbox, one for every case.
class TestRoad : public QObject
{
    Q_OBJECT
    QTemporaryDir m_sandboxFolder;
    QProcess m_sandbox;
    QString m_echoUrl;

    // Starts the program with the sandbox's "config.cfg" beside it and an account per user.
    bool start(ProgramRunner &program, const QStringList &users, const QStringList &arguments = {})
    {
        const QString folder = program.dataLocation() + '/';
        ApplicationSettings::drop();
        ApplicationSettings::instance()->getConfigData(folder, folder + "config.json");
        for (int i = 0; i < users.size(); ++i) {
            ApplicationSettings::instance()->saveAccountData(
                {users[i], users[i], {}, 11000 + 2 * i, 11001 + 2 * i});
        }
        program.setEnvironment("TOLVANE_EXTERNAL_IP_URL", m_echoUrl);
        return QFile::copy(m_sandboxFolder.filePath("config.cfg"),
                           program.useOwnCopy() + "/config.cfg") &&
               program.start(arguments);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox.setProcessChannelMode(QProcess::ForwardedErrorChannel); // its reports show here
        m_sandbox.start(binaryDir() + "/bin/tolvane-sandbox",
                        {m_sandboxFolder.path(), "lan@tolvane.com",
                         "internet@tolvane.com=internet,relay", "relay@tolvane.com=relay",
                         "pro@tolvane.com=direct"});
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox.canReadLine(), 60000);
        m_echoUrl = QJsonDocument::fromJson(m_sandbox.readLine())["external_ip_url"].toString();
        QVERIFY(m_echoUrl.startsWith("http://127.0.0.1:"));
    }

    void cleanupTestCase()
    {
        m_sandbox.terminate();
        QVERIFY(m_sandbox.waitForFinished(30000));
        QCOMPARE(m_sandbox.exitCode(), 0);
    }

    void road_data()
    {
        // The accounts and the program's arguments; the path each account takes, or its error.
        QTest::addColumn<QStringList>("users");
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QStringList>("outcomes");
        QTest::newRow("LAN") << QStringList{"lan@tolvane.com"} << "" << QStringList{"kLAN"};
        QTest::newRow("Internet") << QStringList{"internet@tolvane.com"} << ""
                                  << QStringList{"kInternet"};
        QTest::newRow("relay") << QStringList{"relay@tolvane.com"} << "" << QStringList{"kRelay"};
        QTest::newRow("relay forced, all paths offered")
            << QStringList{"lan@tolvane.com"} << "-R" << QStringList{"kRelay"};
        QTest::newRow("direct") << QStringList{"pro@tolvane.com"} << "" << QStringList{"kPro"};
        QTest::newRow("two accounts and an unknown one")
            << QStringList{"relay@tolvane.com", "internet@tolvane.com", "nobody@tolvane.com"} << ""
            << QStringList{"kRelay", "kInternet", "error 0: Incorrect username and/or password"};
    }
    void road()
    {
        QFETCH(QStringList, users);
        QFETCH(QString, arguments);
        QFETCH(QStringList, outcomes);
        ProgramRunner program;
        QVERIFY(start(program, users, arguments.split(' ', Qt::SkipEmptyParts)));
        for (int i = 0; i < users.size(); ++i) {
            if (outcomes[i].startsWith("error")) {
                QVERIFY(program.waitForLog("] " + users[i] + ' ' + outcomes[i] + '\n'));
                continue;
            }
            const QRegularExpressionMatch line = connection(program, users[i]);
            QCOMPARE(line.captured(1), outcomes[i]);
            exchange(line);
        }
        program.sendSignal(SIGTERM);
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.process().exitCode(), 0);
        QCOMPARE(program.logText().count("[ TolvaneMailConnect ] Terminated"), 1);
    }

    void relayServerDropsTheLink()
    {
        ProgramRunner program;
        QVERIFY(start(program, {"relay@tolvane.com"}));
        QVERIFY(connection(program, "relay@tolvane.com").hasMatch());
        ::kill(pid_t(m_sandbox.processId()), SIGUSR1);
        QVERIFY(program.waitForLog("] relay@tolvane.com disconnected\n"));
        const QRegularExpressionMatch again = connection(program, "relay@tolvane.com", 2);
        QCOMPARE(again.captured(1), QStringLiteral("kRelay"));
        exchange(again);
    }
};

TOLVANE_TEST_MAIN(TestRoad)
#include "tst_road.moc"
