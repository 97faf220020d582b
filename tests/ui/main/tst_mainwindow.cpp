#include "support/registrystandin.h"
#include "support/testmain.h"
#include "ui/main/mainwindow.h"

#include <QMenu>
#include <QSystemTrayIcon>

class TestMainWindow : public QObject
{
    Q_OBJECT
    TestSupport::RegistryStandIn m_registry; // every window reports the installation to it

private Q_SLOTS:
    void initTestCase()
    {
        m_registry.setDefaultAnswer(TestSupport::RegistryAnswer::reply("OK\r\n"));
        QVERIFY(m_registry.start() && m_registry.pointClientHere());
    }

    void trayIconIsUpButWindowHidden()
    {
        MainWindow window;
        QVERIFY(window.trayIcon()->isVisible());
        QVERIFY(!window.isVisible());
        QStringList entries;
        for (QAction *action : window.trayMenu()->actions())
            entries << action->text();
        QCOMPARE(entries, (QStringList{QStringLiteral("Show"), QStringLiteral("Quit")}));
    }

    void waysToShowTheWindow_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("run") << 0;
        QTest::newRow("message of a later start") << 1;
        QTest::newRow("tray menu Show") << 2;
        QTest::newRow("run after --maximized") << 3;
    }
    void waysToShowTheWindow()
    {
        QFETCH(int, way);
        MainWindow window;
        window.showMinimized();
        switch (way) {
        case 0:
            window.run();
            break;
        case 1:
            window.handleAppInstanceMsg();
            break;
        case 2:
            window.trayMenu()->actions().at(0)->trigger();
            break;
        case 3:
            window.maximize();
            window.run();
            QVERIFY(window.isMaximizeRequested());
            break;
        }
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
        QVERIFY(!window.isMaximized());
    }

    void quitEndsTheEventLoop()
    {
        MainWindow window;
        window.run();
        // Quit from the tray menu ends the loop with 0; a watchdog would end it with 1.
        QTimer::singleShot(0, window.trayMenu()->actions().at(1), &QAction::trigger);
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
        watchdog.start(30000);
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

TOLVANE_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
