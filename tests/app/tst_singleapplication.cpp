#include "support/testmain.h"

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {
const char kAnnouncement[] = "Application has been already launched";
constexpr int kWaitMs = 30000;
} // namespace

// One run of the probe program with its output collected line by line.
class Probe
{
public:
    Probe(const QString &workDir, const QProcessEnvironment &environment)
    {
        QDir().mkpath(workDir);
        m_process.setWorkingDirectory(workDir);
        m_process.setProcessEnvironment(environment);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_out += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_err += m_process.readAllStandardError(); });
    }
    ~Probe()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    void start(const QString &key, const QStringList &options = {})
    {
        m_process.start(QStringLiteral(TOLVANE_PROBE_PATH), QStringList{key} + options);
    }

    int count(const QByteArray &line) const { return int(lines().count(line)); }
    bool has(const QByteArray &line) const { return lines().contains(line); }
    // The value of a "name=value" line, or -1 while there is none.
    int value(const QByteArray &name) const { return values(name).value(0, -1); }
    // Every value of "name=value" lines so far, in order.
    QList<int> values(const QByteArray &name) const
    {
        QList<int> result;
        for (const QByteArray &line : lines()) {
            if (line.startsWith(name + '='))
                result.append(line.mid(name.size() + 1).toInt());
        }
        return result;
    }
    bool isFinished() const { return m_process.state() == QProcess::NotRunning; }
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    QByteArray out() const { return m_out; }
    QByteArray err() const { return m_err; }
    void command(const QByteArray &text) { m_process.write(text + '\n'); }
    void kill() { m_process.kill(); }

private:
    QList<QByteArray> lines() const { return m_out.split('\n'); }

    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

class TestSingleApplication : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_case;
    QString m_tmp;
    QString m_key;
    std::vector<std::unique_ptr<Probe>> m_probes;
    int m_caseNumber = 0;

    QProcessEnvironment environment(const QString &tmp) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), tmp);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return environment;
    }

    Probe *startProbe(const QStringList &options = {}, const QString &tmp = QString())
    {
        const QString work = m_case->path() + QStringLiteral("/work%1").arg(m_probes.size());
        m_probes.push_back(std::make_unique<Probe>(work, environment(tmp.isEmpty() ? m_tmp : tmp)));
        m_probes.back()->start(m_key, options);
        return m_probes.back().get();
    }

    static bool waitReady(Probe *probe)
    {
        return QTest::qWaitFor([probe] { return probe->has("ready") || probe->isFinished(); },
                               kWaitMs) &&
               probe->has("ready");
    }

    static bool waitFinished(Probe *probe)
    {
        return QTest::qWaitFor([probe] { return probe->isFinished(); }, kWaitMs);
    }

    // Asks until the probe's local server holds no connection any more; freeing a connection
    // happens a moment after its message was reported.
    static bool connectionsReleased(Probe *probe)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kWaitMs) {
            const int answers = probe->values("connections").size();
            probe->command("connections");
            if (!QTest::qWaitFor(
                    [probe, answers] { return probe->values("connections").size() > answers; },
                    kWaitMs))
                return false;
            if (probe->values("connections").constLast() == 0)
                return true;
        }
        return false;
    }

    QString socketPath() const { return m_tmp + QLatin1Char('/') + m_key; }

    // A later start against a running first instance: it reports running=1 and ends with 1.
    bool laterStartHandsOver(Probe *first, int messagesBefore)
    {
        Probe *later = startProbe();
        if (!waitFinished(later))
            return false;
        if (later->value("running") != 1 || later->exitCode() != 1)
            return false;
        return QTest::qWaitFor(
            [first, messagesBefore] { return first->count("message") == messagesBefore + 1; },
            kWaitMs);
    }

private Q_SLOTS:
    void init()
    {
        m_case = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/case-XXXXXX"));
        QVERIFY(m_case->isValid());
        m_tmp = m_case->path() + QStringLiteral("/tmp");
        QVERIFY(QDir().mkpath(m_tmp));
        m_key = QStringLiteral("tolvane_probe_%1_%2")
                    .arg(QCoreApplication::applicationPid())
                    .arg(++m_caseNumber);
    }

    void cleanup()
    {
        for (auto &probe : m_probes)
            probe->command("quit");
        for (auto &probe : m_probes)
            waitFinished(probe.get());
        m_probes.clear();
        m_case.reset();
    }

    void secondStartHandsOverToTheFirst()
    {
        Probe *first = startProbe();
        QVERIFY(waitReady(first));
        QCOMPARE(first->value("running"), 0);
        QVERIFY(QFileInfo(socketPath()).exists());

        // The later start installs no dock hook: the desktop keeps its own reopen action.
        Probe *second = startProbe({QStringLiteral("--click"), QStringLiteral("1")});
        QVERIFY(waitFinished(second));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 1);
        QCOMPARE(second->value("running"), 1);
        QCOMPARE(second->value("dock-clicked"), 0);
        QCOMPARE(second->value("system-reopen"), 1);
        QVERIFY(!second->err().contains("Could not connect to local server"));

        QTRY_COMPARE_WITH_TIMEOUT(first->count("message"), 1, kWaitMs);
        QVERIFY(first->out().contains(QByteArray("\"") + kAnnouncement + '"'));

        // Ending normally frees the key for the next start.
        first->command("quit");
        QVERIFY(waitFinished(first));
        QCOMPARE(first->exitCode(), 0);
        QVERIFY(!QFileInfo(socketPath()).exists());
        Probe *third = startProbe();
        QVERIFY(waitReady(third));
        QCOMPARE(third->value("running"), 0);
        QCOMPARE(first->count("message"), 1);
    }

    void leftoversDoNotLockOut_data()
    {
        QTest::addColumn<bool>("killFirst");
        QTest::addColumn<bool>("staleSocketFile");
        QTest::newRow("instance killed") << true << false;
        QTest::newRow("socket file left behind") << false << true;
        QTest::newRow("killed over a stale socket file") << true << true;
    }

    void leftoversDoNotLockOut()
    {
        QFETCH(bool, killFirst);
        QFETCH(bool, staleSocketFile);

        if (staleSocketFile) {
            // A socket file bound and never removed, as a crashed server leaves it.
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            QVERIFY(fd >= 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const QByteArray path = QFile::encodeName(socketPath());
            QVERIFY(size_t(path.size()) < sizeof address.sun_path);
            std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
            ::close(fd);
            QVERIFY(QFileInfo(socketPath()).exists());
        }
        if (killFirst) {
            Probe *crashed = startProbe();
            QVERIFY(waitReady(crashed));
            QCOMPARE(crashed->value("running"), 0);
            crashed->kill(); // SIGKILL: nothing is cleaned up
            QVERIFY(waitFinished(crashed));
            QCOMPARE(crashed->exitStatus(), QProcess::CrashExit);
            // Its socket file and the segment's key file are still there.
            QVERIFY(QFileInfo(socketPath()).exists());
            QVERIFY(!QDir(m_tmp).entryList({QStringLiteral("qipc_sharedmemory_*")}).isEmpty());
        }

        Probe *next = startProbe();
        QVERIFY(waitReady(next));
        QCOMPARE(next->value("running"), 0);
        QVERIFY(!next->err().contains("Cannot remove the Server"));
        QVERIFY(!next->err().contains("Unable to start the Server"));
        QVERIFY(laterStartHandsOver(next, 0));
    }

    void failedListenEndsTheStart()
    {
        // A directory where the socket should go can be neither removed nor listened on.
        QVERIFY(QDir().mkpath(socketPath()));
        Probe *probe = startProbe({QStringLiteral("--click"), QStringLiteral("1")});
        QVERIFY(waitFinished(probe));
        QCOMPARE(probe->value("running"), 1);
        QCOMPARE(probe->exitCode(), 1);
        QVERIFY(probe->err().contains("Cannot remove the Server"));
        QVERIFY(probe->err().contains("Unable to start the Server"));
        QVERIFY(!probe->err().contains("Could not connect to local server"));
        // No hook without a listening server.
        QCOMPARE(probe->value("dock-clicked"), 0);
        QCOMPARE(probe->value("system-reopen"), 1);

        // Its segment went with it: once the way is clear the next start runs.
        QVERIFY(QDir(socketPath()).removeRecursively());
        Probe *next = startProbe();
        QVERIFY(waitReady(next));
        QCOMPARE(next->value("running"), 0);
    }

    void segmentThatCannotBeCreated()
    {
        // The temporary "folder" is a plain file: neither the segment nor the semaphore can be
        // made there.
        const QString notAFolder = m_case->path() + QStringLiteral("/plain-file");
        QFile file(notAFolder);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        Probe *probe = startProbe({QStringLiteral("--click"), QStringLiteral("1")}, notAFolder);
        QVERIFY(waitReady(probe));
        QCOMPARE(probe->value("running"), 0);
        QVERIFY(probe->out().contains("Unable to create single instance."));
        QCOMPARE(probe->value("dock-clicked"), 0);
        QCOMPARE(probe->value("system-reopen"), 1);
        QVERIFY(connectionsReleased(probe));
    }

    void simultaneousStarts_data()
    {
        QTest::addColumn<int>("starts");
        QTest::newRow("two") << 2;
        QTest::newRow("four") << 4;
    }

    void simultaneousStarts()
    {
        QFETCH(int, starts);
        std::vector<Probe *> probes;
        for (int i = 0; i < starts; ++i)
            probes.push_back(startProbe());
        for (Probe *probe : probes)
            QTRY_VERIFY_WITH_TIMEOUT(probe->value("running") >= 0 || probe->isFinished(), kWaitMs);

        Probe *first = nullptr;
        for (Probe *probe : probes) {
            if (probe->value("running") == 0) {
                QVERIFY2(!first, "two instances became the first");
                first = probe;
            } else {
                QCOMPARE(probe->value("running"), 1);
                QVERIFY(waitFinished(probe));
                QCOMPARE(probe->exitCode(), 1);
            }
        }
        QVERIFY(first);
        QVERIFY(waitReady(first));
        QTRY_COMPARE_WITH_TIMEOUT(first->count("message"), starts - 1, kWaitMs);
    }

    void sendMessageOnTheFirstInstance()
    {
        Probe *first = startProbe({QStringLiteral("--send-self")});
        QVERIFY(waitReady(first));
        QCOMPARE(first->value("send-self"), 0);
        QVERIFY(!first->err().contains("Could not connect to local server"));
        // Had it reached its own server, this count would end at two.
        QVERIFY(laterStartHandsOver(first, 0));
        QVERIFY(connectionsReleased(first));
        QCOMPARE(first->count("message"), 1);
    }

    void messageInPieces()
    {
        Probe *first = startProbe();
        QVERIFY(waitReady(first));

        QLocalSocket socket;
        socket.connectToServer(socketPath());
        QVERIFY(socket.waitForConnected(kWaitMs));
        socket.write("Application has");
        QVERIFY(socket.waitForBytesWritten(kWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(first->count("message"), 1, kWaitMs);
        // The instance may have hung up already; what still goes out is never read.
        if (socket.state() == QLocalSocket::ConnectedState) {
            socket.write(" been already launched");
            socket.flush();
        }
        socket.abort();

        // One read, one signal per connection: the rest of the text is never taken.
        QVERIFY(laterStartHandsOver(first, 1));
        QVERIFY(first->out().contains("\"Application has\""));
        QCOMPARE(first->out().count(kAnnouncement), 1);
        QVERIFY(connectionsReleased(first));
    }

    void connectionsWithoutMessage_data()
    {
        QTest::addColumn<int>("connections");
        QTest::newRow("one") << 1;
        QTest::newRow("three in a row") << 3;
    }

    void connectionsWithoutMessage()
    {
        QFETCH(int, connections);
        Probe *first = startProbe();
        QVERIFY(waitReady(first));

        // Each connection is gone before the instance gets to read from it.
        for (int i = 0; i < connections; ++i) {
            QLocalSocket socket;
            socket.connectToServer(socketPath());
            QVERIFY(socket.waitForConnected(kWaitMs));
            socket.abort();
        }
        QVERIFY(laterStartHandsOver(first, 0));
        QCOMPARE(first->count("message"), 1);
        QVERIFY(!first->isFinished());
        // Every connection taken from the server was freed, the silent ones too.
        QVERIFY(connectionsReleased(first));
    }

    void dockClick_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<QByteArray>("debugLine");
        QTest::addColumn<QByteArray>("warning");
        QTest::addColumn<int>("emitted");
        QTest::addColumn<int>("systemReopens");

        QTest::newRow("delegate answers reopen")
            << "answers" << 1
            << QByteArray("Registered dock click handler (replaced original method)")
            << QByteArray() << 1 << 0;
        QTest::newRow("three clicks")
            << "answers" << 3
            << QByteArray("Registered dock click handler (replaced original method)")
            << QByteArray() << 3 << 0;
        QTest::newRow("delegate lacks reopen")
            << "ignores" << 1 << QByteArray("Registered dock click handler") << QByteArray() << 1
            << 0;
        // The method is only inherited: it is added to the delegate's class, which the
        // replacement reports as a failure although the hook is in place.
        QTest::newRow("delegate inherits reopen")
            << "inherits" << 1 << QByteArray()
            << QByteArray("Failed to replace method for dock click handler") << 1 << 0;
        QTest::newRow("no shared application")
            << "none" << 1 << QByteArray() << QByteArray() << 0 << 0;
    }

    void dockClick()
    {
        QFETCH(QString, desktop);
        QFETCH(int, clicks);
        QFETCH(QByteArray, debugLine);
        QFETCH(QByteArray, warning);
        QFETCH(int, emitted);
        QFETCH(int, systemReopens);

        Probe *first = startProbe({QStringLiteral("--desktop"), desktop, QStringLiteral("--click"),
                                   QString::number(clicks)});
        QVERIFY(waitReady(first));
        QCOMPARE(first->value("running"), 0);
        QCOMPARE(first->value("dock-clicked"), emitted);
        QCOMPARE(first->value("system-reopen"), systemReopens);
        // The hook answers NO to every click; without an application nothing answers at all.
        QCOMPARE(first->count("dock-answer=0"), clicks);
        if (!debugLine.isEmpty())
            QVERIFY(first->out().split('\n').contains(debugLine));
        if (!warning.isEmpty())
            QVERIFY(first->err().split('\n').contains(warning));
        const QByteArray all = first->out() + first->err();
        const int hookLines = all.count("dock click handler");
        QCOMPARE(hookLines, debugLine.isEmpty() && warning.isEmpty() ? 0 : 1);
    }
};

TOLVANE_TEST_MAIN(TestSingleApplication)
#include "tst_singleapplication.moc"
