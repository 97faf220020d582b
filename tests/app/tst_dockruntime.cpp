#include "app/dockruntime.h"
#include "app/singleapplication.h"
#include "support/testmain.h"

#include <QPair>

namespace {
const char kReopen[] = "applicationShouldHandleReopen:hasVisibleWindows:";

QList<QPair<QtMsgType, QString>> s_messages;

void captureMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    s_messages.append({type, text});
}

DockRuntime::Class delegateClass()
{
    using Runtime = DockRuntime;
    const Runtime::Object application = Runtime::sendMessage(
        Runtime::getClass("NSApplication"), Runtime::registerSelector("sharedApplication"));
    const Runtime::Object delegate =
        Runtime::sendMessage(application, Runtime::registerSelector("delegate"));
    return static_cast<Runtime::Class>(
        Runtime::sendMessage(delegate, Runtime::registerSelector("class")));
}

bool markerReopen(DockRuntime::Object, DockRuntime::Selector, ...)
{
    return false;
}

DockRuntime::Implementation marker()
{
    return reinterpret_cast<DockRuntime::Implementation>(
        static_cast<DockRuntime::ReopenMethod>(&markerReopen));
}
} // namespace

// The stand-in desktop runtime and the hook installed into it, in this process. The process's
// application object is a plain QApplication, so the hook finds no SingleApplication to notify:
// it must still answer NO and keep the desktop from reopening.
class TestDockRuntime : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { DockRuntime::resetDesktop(DockRuntime::Desktop::kDelegateAnswersReopen); }

    void classesAndSelectors()
    {
        QVERIFY(DockRuntime::getClass("NSApplication"));
        QVERIFY(!DockRuntime::getClass("NoSuchClass"));
        QVERIFY(!DockRuntime::getClass(nullptr));
        const DockRuntime::Selector first = DockRuntime::registerSelector(kReopen);
        const QByteArray copy(kReopen);
        QCOMPARE(DockRuntime::registerSelector(copy.constData()), first);
        QVERIFY(DockRuntime::registerSelector("delegate") != first);
        QCOMPARE(QByteArray(first), copy);
    }

    void messages()
    {
        const DockRuntime::Class applicationClass = DockRuntime::getClass("NSApplication");
        const DockRuntime::Object application = DockRuntime::sendMessage(
            applicationClass, DockRuntime::registerSelector("sharedApplication"));
        QVERIFY(application);
        QCOMPARE(application->isa, applicationClass);
        // Class messages are not instance messages.
        QVERIFY(!DockRuntime::sendMessage(application,
                                          DockRuntime::registerSelector("sharedApplication")));
        QVERIFY(!DockRuntime::sendMessage(application, DockRuntime::registerSelector("nothing")));
        QVERIFY(!DockRuntime::sendMessage(nullptr, DockRuntime::registerSelector("delegate")));
        const DockRuntime::Class cls = delegateClass();
        QVERIFY(cls);
        QCOMPARE(QString::fromStdString(cls->name), QStringLiteral("DesktopApplicationDelegate"));
    }

    void methodTables()
    {
        DockRuntime::resetDesktop(DockRuntime::Desktop::kDelegateInheritsReopen);
        const DockRuntime::Class cls = delegateClass();
        const DockRuntime::Selector reopen = DockRuntime::registerSelector(kReopen);
        const DockRuntime::Implementation inherited = DockRuntime::instanceMethod(cls, reopen);
        QVERIFY(inherited);
        QVERIFY(DockRuntime::methodTypes(cls, reopen).empty());
        // Adding shadows the inherited method; a second add is refused.
        QVERIFY(DockRuntime::addMethod(cls, reopen, marker(), "B@:"));
        QVERIFY(DockRuntime::instanceMethod(cls, reopen) == marker());
        QVERIFY(DockRuntime::instanceMethod(cls->superclass, reopen) == inherited);
        QVERIFY(!DockRuntime::addMethod(cls, reopen, inherited, "B@:"));
        QVERIFY(DockRuntime::instanceMethod(cls, reopen) == marker());
        // Replacing an own method gives back the one it replaced.
        QVERIFY(DockRuntime::replaceMethod(cls, reopen, inherited, "B@:@B") == marker());
        QCOMPARE(DockRuntime::methodTypes(cls, reopen), std::string("B@:@B"));

        DockRuntime::resetDesktop(DockRuntime::Desktop::kDelegateInheritsReopen);
        const DockRuntime::Class fresh = delegateClass();
        QVERIFY(!DockRuntime::replaceMethod(fresh, reopen, marker(), "B@:"));
        QCOMPARE(DockRuntime::methodTypes(fresh, reopen), std::string("B@:"));
    }

    void desktopReopensWithoutHook_data()
    {
        QTest::addColumn<int>("desktop");
        QTest::addColumn<int>("reopens");
        QTest::newRow("delegate answers") << int(DockRuntime::Desktop::kDelegateAnswersReopen) << 1;
        QTest::newRow("delegate inherits")
            << int(DockRuntime::Desktop::kDelegateInheritsReopen) << 1;
        QTest::newRow("delegate ignores") << int(DockRuntime::Desktop::kDelegateIgnoresReopen) << 1;
        QTest::newRow("no application") << int(DockRuntime::Desktop::kNoApplication) << 0;
    }

    void desktopReopensWithoutHook()
    {
        QFETCH(int, desktop);
        QFETCH(int, reopens);
        DockRuntime::resetDesktop(DockRuntime::Desktop(desktop));
        QCOMPARE(DockRuntime::clickDockIcon(true), reopens == 1);
        QCOMPARE(DockRuntime::systemReopenCount(), reopens);
    }

    void installHook_data()
    {
        QTest::addColumn<int>("desktop");
        QTest::addColumn<int>("messageType");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("installed");

        QTest::newRow("replaces the delegate's method")
            << int(DockRuntime::Desktop::kDelegateAnswersReopen) << int(QtDebugMsg)
            << "Registered dock click handler (replaced original method)" << true;
        QTest::newRow("adds a missing method")
            << int(DockRuntime::Desktop::kDelegateIgnoresReopen) << int(QtDebugMsg)
            << "Registered dock click handler" << true;
        QTest::newRow("inherited method")
            << int(DockRuntime::Desktop::kDelegateInheritsReopen) << int(QtWarningMsg)
            << "Failed to replace method for dock click handler" << true;
        QTest::newRow("no shared application")
            << int(DockRuntime::Desktop::kNoApplication) << -1 << QString() << false;
    }

    void installHook()
    {
        QFETCH(int, desktop);
        QFETCH(int, messageType);
        QFETCH(QString, message);
        QFETCH(bool, installed);
        DockRuntime::resetDesktop(DockRuntime::Desktop(desktop));

        s_messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
        setupDockClickHandler();
        qInstallMessageHandler(previous);

        if (messageType < 0) {
            QVERIFY(s_messages.isEmpty());
        } else {
            QCOMPARE(s_messages.size(), 1);
            QCOMPARE(int(s_messages.first().first), messageType);
            QCOMPARE(s_messages.first().second, message);
        }
        if (!installed) {
            QVERIFY(!DockRuntime::clickDockIcon(false));
            QCOMPARE(DockRuntime::systemReopenCount(), 0);
            return;
        }
        const DockRuntime::Class cls = delegateClass();
        const DockRuntime::Selector reopen = DockRuntime::registerSelector(kReopen);
        QCOMPARE(DockRuntime::methodTypes(cls, reopen), std::string("B@:"));
        // Every click reaches the hook, which answers NO: the desktop never reopens by itself.
        QVERIFY(!DockRuntime::clickDockIcon(false));
        QVERIFY(!DockRuntime::clickDockIcon(true));
        QCOMPARE(DockRuntime::systemReopenCount(), 0);
    }
};

TOLVANE_TEST_MAIN(TestDockRuntime)
#include "tst_dockruntime.moc"
