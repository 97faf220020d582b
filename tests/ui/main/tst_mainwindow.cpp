#include "crypto/ui/keystoreobserver.h"
#include "settings/applicationsettings.h"
#include "support/homebridgeroad.h"
#include "support/logcapture.h"
#include "support/testmain.h"
#include "ui/account/accountwidget.h"
#include "ui/main/mainwindow.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace {
// A freshly loaded settings store holding the accounts ("name login pop3-port smtp-port") in
// this order; returns its file.
QString storeAccounts(const QStringList &accounts)
{
    const QString folder = QDir::current().absoluteFilePath("settings/");
    QFile::remove(folder + "config.json");
    ApplicationSettings::drop();
    ApplicationSettings::instance()->getConfigData(folder, folder + "config.json");
    for (const QString &account : accounts) {
        const QStringList f = account.split(' ');
        ApplicationSettings::instance()->saveAccountData(
            {f[0], f[1], {}, f[2].toInt(), f[3].toInt()});
    }
    return folder + "config.json";
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    // Every account's registry, paths and HomeBridge; every window reports the installation to it.
    TestSupport::HomeBridgeRoad m_road;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_road.start(QDir::current().absoluteFilePath("config"))); }

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

    void runStartsTheStoredAccounts_data()
    {
        // The stored accounts, and what run() made of them: the accounts with a panel | the port
        // clashes logged (account, port, earlier account) | the accounts of "Username conflict"
        // boxes.
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("outcome");
        const QString a = "a jo@tolvane.com 1110 1025";
        QTest::newRow("stored order")
            << QStringList{a, "b ann@tolvane.com 1111 1026", "c bob 0 0"} << "a b c||";
        QTest::newRow("POP3 port in use")
            << QStringList{a, "b ann@tolvane.com 1110 1026"} << "a|b 1110 a|";
        QTest::newRow("SMTP port in use as POP3 port, then one of an account that is off")
            << QStringList{a, "b ann@tolvane.com 1025 1026", "c bob@tolvane.com 1026 1027"}
            << "a c|b 1025 a|";
        QTest::newRow("user name in use, letter case and dots aside")
            << QStringList{"a Jo.Doe 1110 1025", "b jodoe@Tolvane.com 1111 1026",
                           "c bob@tolvane.com 1111 1027"}
            << "a c||b";
    }
    void runStartsTheStoredAccounts()
    {
        QFETCH(QStringList, stored);
        QFETCH(QString, outcome);
        storeAccounts(stored);
        TestSupport::LogCapture log;
        MainWindow window;
        window.run();

        QStringList panels, clashes, boxes;
        for (const AccountWidget *panel : window.accountWidgets()) {
            QVERIFY(panels.isEmpty() ||
                    panel->profileId() >
                        window.accountWidgets().at(panels.size() - 1)->profileId());
            QCOMPARE(panel->status(), AccountWidget::kConnecting);
            panels << panel->account().m_accountName;
        }
        const QRegularExpression clash(
            "Account \"(\\w)\" is not started: its port (\\d+) is used by account \"(\\w)\"");
        for (const QString &line : log.lines()) {
            const QRegularExpressionMatch match = clash.match(line);
            if (match.hasMatch())
                clashes << match.capturedTexts().mid(1).join(' ');
        }
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == "Username conflict")
                boxes << qobject_cast<QMessageBox *>(widget)->text().section('"', 1, 1);
        }
        QCOMPARE(QStringList({panels.join(' '), clashes.join(", "), boxes.join(' ')}).join('|'),
                 outcome);
    }

    void panelNeverShowsConnectedWithoutAPort()
    {
        TestSupport::LogCapture log;
        AccountWidget panel({"a", "jo@tolvane.com", {}, 1110, 1025, false, true}, 1);
        Q_EMIT panel.accessManager()->connected(); // it has connected nowhere: every port is 0
        QCOMPARE(panel.status(), AccountWidget::kError);
        QVERIFY(panel.findChild<QLabel *>("errorLabel")->isVisibleTo(&panel));
        QCOMPARE(log.count("] jo@tolvane.com error 5: Connection to email server"), 1);
    }

    void destroyingTheWindowClosesTheForwards()
    {
        storeAccounts({"a jo@tolvane.com 1110 1025"});
        auto window = std::make_unique<MainWindow>();
        window->run();
        QCOMPARE(KeystoreObserver::instance()->parentWidgetForDialogs(), window.get());
        const AccountWidget *panel = window->accountWidgets().at(0);
        QTRY_COMPARE_WITH_TIMEOUT(panel->status(), AccountWidget::kConnected, 30000);
        const quint16 port = panel->accessManager()->pop3Port();
        QCOMPARE(panel->findChild<QLabel *>("connectionTypeLabel")->text(), "kLAN");
        QVERIFY(panel->findChild<QLabel *>("servicesLabel")
                    ->text()
                    .startsWith(QString("POP3 127.0.0.1:%1\nSMTP ").arg(port)));
        window.reset();
        QCOMPARE(KeystoreObserver::instance()->parentWidgetForDialogs(), nullptr);
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!probe.waitForConnected(10000));
        QTRY_COMPARE(m_road.lan.linkCount(), 0);
    }

    void quitEndsTheEventLoop()
    {
        const QString settingsFile = storeAccounts({});
        QFile::remove(settingsFile);
        MainWindow window;
        window.run();
        // Quit from the tray menu ends the loop with 0; a watchdog would end it with 1.
        QTimer::singleShot(0, window.trayMenu()->actions().at(1), &QAction::trigger);
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
        watchdog.start(30000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(QFile::exists(settingsFile)); // saved on the way out
    }
};

TOLVANE_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
