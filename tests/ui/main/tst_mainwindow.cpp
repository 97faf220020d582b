#include "crypto/ui/keystoreobserver.h"
#include "settings/applicationsettings.h"
#include "support/certificatefactory.h"
#include "support/homebridgeroad.h"
#include "support/httpstubserver.h"
#include "support/logcapture.h"
#include "support/testmain.h"
#include "ui/account/accountwidget.h"
#include "ui/main/helpmanager.h"
#include "ui/main/mainwindow.h"
#include "ui/main/updatemanager.h"

#include <QMenu>

using namespace TestSupport;

namespace {
// A fresh settings store with the accounts ("name login pop3-port smtp-port"); returns its file.
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

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The panel's connecting animation: "playing" (shown and running), "still" (hidden and stopped),
// or what else it is.
QString animation(const AccountWidget *panel)
{
    const auto *movie = panel->findChild<QMovie *>();
    if (!movie || !movie->isValid() || movie->frameCount() < 2)
        return "no animation";
    const auto labels = panel->findChildren<QLabel *>();
    const auto label = std::find_if(labels.begin(), labels.end(),
                                    [movie](const QLabel *l) { return l->movie() == movie; });
    if (label == labels.end())
        return "not on a label";
    const bool running = movie->state() == QMovie::Running;
    if (running == !(*label)->isHidden())
        return running ? "playing" : "still";
    return running ? "running hidden" : "shown still";
}
} // namespace

// The main window and its account panels, and the update check of start-up.
class TestMainWindow : public QObject
{
    Q_OBJECT
    HomeBridgeRoad m_road; // every account's registry, paths and HomeBridge

private Q_SLOTS:
    void initTestCase()
    {
        Q_INIT_RESOURCE(app);
        Q_INIT_RESOURCE(help);
        QVERIFY(m_road.start(QDir::current().absoluteFilePath("config")));
    }

    void run_data()
    {
        // The stored accounts, and what run() made of them: the accounts with a panel | the port
        // clashes logged (account, port, earlier account) | the accounts of conflict boxes.
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("outcome");
        const QString a = "a jo@tolvane.com 1110 1025";
        QTest::newRow("stored order, no ports")
            << QStringList{a, "b ann@tolvane.com 0 0", "c bob 0 0"} << "a b c||";
        // A POP3 port used as POP3 and as SMTP port, and one of an account that is off.
        QTest::newRow("ports in use")
            << QStringList{a, "b ann@tolvane.com 1110 1026", "c bob@tolvane.com 1025 1027",
                           "d dan@tolvane.com 1026 1028"}
            << "a d|b 1110 a, c 1025 a|";
        // An SMTP port used as POP3 and as SMTP port.
        QTest::newRow("SMTP ports in use")
            << QStringList{a, "b ann@tolvane.com 1111 1110", "c bob@tolvane.com 1112 1025"}
            << "a|b 1110 a, c 1025 a|";
        QTest::newRow("user name in use, letter case and dots aside")
            << QStringList{"a Jo.Doe 1110 1025", "b jodoe@Tolvane.com 1111 1026",
                           "c bob@tolvane.com 1111 1027"}
            << "a c||b";
    }
    void run()
    {
        QFETCH(QStringList, stored);
        QFETCH(QString, outcome);
        storeAccounts(stored);
        LogCapture log;
        MainWindow window;
        window.showMinimized();
        window.run();
        QVERIFY(window.isVisible() && !window.isMinimized());
        QStringList panels, boxes;
        for (const AccountWidget *panel : window.accountWidgets()) {
            QCOMPARE(panel->profileId(), panels.size() + 1);
            QCOMPARE(panel->status(), AccountWidget::kConnecting);
            QCOMPARE(animation(panel), QStringLiteral("playing"));
            panels << panel->account().m_accountName;
        }
        const QRegularExpression clash(
            ".*\"(\\w)\" is not started: its port (\\d+) is used by account \"(\\w)\"");
        const QStringList clashes =
            log.lines().filter(clash).replaceInStrings(clash, "\\1 \\2 \\3");
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == "Username conflict")
                boxes << qobject_cast<QMessageBox *>(widget)->text().section('"', 1, 1);
        }
        QCOMPARE(QStringList({panels.join(' '), clashes.join(", "), boxes.join(' ')}).join('|'),
                 outcome);
    }

    void panelNeverShowsConnectedWithoutAPort()
    {
        LogCapture log;
        AccountWidget panel({"a", "jo@tolvane.com", {}, 1110, 1025, false, true}, 1);
        panel.setRestartInterval(0);
        QCOMPARE(animation(&panel), QStringLiteral("still"));
        Q_EMIT panel.accessManager()->connected(); // it has connected nowhere: every port is 0
        QCOMPARE(panel.status(), AccountWidget::kError);
        QCOMPARE(animation(&panel), QStringLiteral("still"));
        QCOMPARE(log.count("] jo@tolvane.com error 5: Connection to email server"), 1);
        QTRY_COMPARE(panel.status(), AccountWidget::kConnecting); // and tries again
        QCOMPARE(animation(&panel), QStringLiteral("playing"));
    }

    void windowAtWork()
    {
        const QString file = storeAccounts({"a jo@tolvane.com 1110 1025"});
        auto window = std::make_unique<MainWindow>();
        const QByteArray styleSheet = readFile(":/style.qss");
        QVERIFY(!styleSheet.isEmpty());
        QCOMPARE(window->styleSheet(), QString::fromUtf8(styleSheet));
        window->run();
        QCOMPARE(KeystoreObserver::instance()->parentWidgetForDialogs(), window.get());
        const AccountWidget *panel = window->accountWidgets().at(0);
        QTRY_COMPARE_WITH_TIMEOUT(panel->status(), AccountWidget::kConnected, 30000);
        QCOMPARE(animation(panel), QStringLiteral("still"));
        const quint16 port = panel->accessManager()->pop3Port();
        window->showMinimized();
        window->handleAppInstanceMsg(); // a later start's message
        QVERIFY(!window->isMinimized());
        // Quit from the tray menu saves the settings and ends the loop with 0; a watchdog, 1.
        QVERIFY(QFile::remove(file));
        QTimer::singleShot(0, window->trayMenu()->actions().at(1), &QAction::trigger);
        QObject watchdog;
        QTimer::singleShot(30000, &watchdog, [] { QCoreApplication::exit(1); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(QFile::exists(file));
        // With the window go the key dialogs' parent and the account's forwards.
        window.reset();
        QCOMPARE(KeystoreObserver::instance()->parentWidgetForDialogs(), nullptr);
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!probe.waitForConnected(10000));
        QTRY_COMPARE(m_road.lan.linkCount(), 0);
    }

    void helpFolder_data()
    {
        // What an earlier run left in the help folder ("name=content"; a name ending in "/" is a
        // folder). Afterwards it holds the resource's pages only, unchanged.
        QTest::addColumn<QStringList>("before");
        QTest::newRow("no folder yet") << QStringList();
        QTest::newRow("pages of an earlier version")
            << QStringList{"index.html=old index", "removed.html=gone from the resources",
                           "images/", "images/logo.png=png"};
    }
    void helpFolder()
    {
        QFETCH(QStringList, before);
        HelpManager *manager = HelpManager::instance();
        QDir folder(manager->helpDir());
        QVERIFY(folder.removeRecursively());
        for (const QString &entry : before) {
            const QString name = entry.section('=', 0, 0);
            QFile file(folder.filePath(name));
            QVERIFY(name.endsWith('/') ? folder.mkpath(name)
                                       : folder.mkpath(QFileInfo(name).path()) &&
                                             file.open(QIODevice::WriteOnly) &&
                                             file.write(entry.section('=', 1).toUtf8()) > 0);
        }
        manager->rebuildHelp();
        const QStringList pages = QDir(":/help").entryList({"*.html"}, QDir::Files);
        QVERIFY(pages.size() >= 2);
        QCOMPARE(folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), pages);
        for (const QString &page : pages)
            QCOMPARE(readFile(folder.filePath(page)), readFile(":/help/" + page));
    }

    void updateCheckReportsAFailure()
    {
        // A loopback HTTPS stand-in trusted through the test CA answers with an error status.
        HttpStubServer server;
        QVERIFY(server.listenHttps(CertificateFactory::leaf().key,
                                   CertificateFactory::leaf().certificate));
        server.setDefaultResponse(HttpStubServer::Response::withStatus(503, "Reason", "v\n"));
        UpdateManager::setBaseUrl(QUrl(server.url(QString())));
        UpdateManager::setCaCertificates({CertificateFactory::ca().certificate});
        UpdateManager *manager = UpdateManager::instance(); // the first call sends the query
        QSignalSpy checked(manager, &UpdateManager::checked);
        QVERIFY(checked.wait(30000));
        QCOMPARE(checked.first(), (QVariantList{503, int(QNetworkReply::ServiceUnavailableError)}));
        QCOMPARE(UpdateManager::instance(), manager); // later calls send nothing
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(server.requests().first().head.startsWith(
            "GET /checkupdate.php HTTP/1.1\r\nHost: 127.0.0.1:" +
            QByteArray::number(server.serverPort()) + "\r\n"));
    }
};

TOLVANE_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
