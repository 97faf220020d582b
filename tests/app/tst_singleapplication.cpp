#include "app/dockruntime.h"
#include "app/singleapplication.h"
#include "support/testenvironment.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

Q_DECLARE_METATYPE(DockRuntime::Desktop)
Q_DECLARE_METATYPE(QtMsgType)

namespace {
constexpr int kWaitMs = 30000;
const QByteArray kAnnouncement = "Application has been already launched";
} // namespace

// The test process's application object is the first instance of a key of its own (the key's
// files lie in the process's temporary folder): its local server takes the connections the test
// opens, and its dock hook sits in the stand-in desktop.
class TestSingleApplication : public QObject
{
    Q_OBJECT

    SingleApplication &m_application;
    QLocalServer *const m_server = m_application.findChild<QLocalServer *>();

    // Connects and writes the pieces, each once the instance has signalled (so all but the first
    // go unread); without pieces it hangs up at once. False when a step failed.
    bool send(const QList<QByteArray> &pieces, const QSignalSpy &messages)
    {
        QLocalSocket socket;
        socket.connectToServer(m_server->fullServerName());
        const int before = messages.size();
        if (!socket.waitForConnected(kWaitMs))
            return false;
        for (const QByteArray &piece : pieces) {
            socket.write(piece);
            socket.flush();
            if (!QTest::qWaitFor([&] { return messages.size() > before; }, kWaitMs))
                return false;
        }
        socket.abort();
        return true;
    }

public:
    explicit TestSingleApplication(SingleApplication &application) : m_application(application) {}

private Q_SLOTS:
    void oneMessagePerConnection_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::newRow("whole message") << QList<QByteArray>{kAnnouncement};
        QTest::newRow("in two pieces")
            << QList<QByteArray>{"Application has", " been already launched"};
        QTest::newRow("silent connection") << QList<QByteArray>{};
    }

    void oneMessagePerConnection()
    {
        QFETCH(QList<QByteArray>, pieces);
        QSignalSpy messages(&m_application, &SingleApplication::messageAvailable);
        // The first instance never sends to itself; such a message would be counted below.
        QVERIFY(!m_application.sendMessage(QString::fromLatin1(kAnnouncement)));
        QVERIFY(send(pieces, messages));
        // A whole message after it: the instance still serves, and signalled once per message.
        QVERIFY(send({kAnnouncement}, messages));
        QCOMPARE(messages.size(), pieces.isEmpty() ? 1 : 2);
        // Every connection taken from the server was freed, the silent one too.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->findChildren<QLocalSocket *>().size(), 0, kWaitMs);
    }

    void dockClick_data()
    {
        QTest::addColumn<DockRuntime::Desktop>("desktop");
        QTest::addColumn<QtMsgType>("type");
        QTest::addColumn<QString>("line");
        QTest::newRow("delegate answers reopen")
            << DockRuntime::Desktop::kDelegateAnswersReopen << QtDebugMsg
            << "Registered dock click handler (replaced original method)";
        QTest::newRow("delegate lacks reopen") << DockRuntime::Desktop::kDelegateIgnoresReopen
                                               << QtDebugMsg << "Registered dock click handler";
        // Only inherited: the hook is added to the delegate's class, which the replacement
        // reports as a failure although the hook is in place.
        QTest::newRow("delegate inherits reopen")
            << DockRuntime::Desktop::kDelegateInheritsReopen << QtWarningMsg
            << "Failed to replace method for dock click handler";
    }

    void dockClick()
    {
        QFETCH(DockRuntime::Desktop, desktop);
        QFETCH(QtMsgType, type);
        QFETCH(QString, line);
        DockRuntime::resetDesktop(desktop);
        QTest::ignoreMessage(type, qPrintable(line)); // fails the row when it is not logged
        setupDockClickHandler();
        QSignalSpy clicked(&m_application, &SingleApplication::dockClicked);
        // Each click reaches the hook, which answers NO: the desktop never reopens by itself.
        QVERIFY(!DockRuntime::clickDockIcon(false) && !DockRuntime::clickDockIcon(true));
        QCOMPARE(clicked.size(), 2);
        QCOMPARE(DockRuntime::systemReopenCount(), 0);
    }
};

int main(int argc, char **argv)
{
    TestSupport::TestEnvironment environment;
    SingleApplication application(argc, argv, QStringLiteral("tst_singleapplication"));
    environment.afterApplication();
    TestSingleApplication test(application);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleapplication.moc"
