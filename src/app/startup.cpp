#include "app/startup.h"

#include "app/singleapplication.h"
#include "app/terminationhandler.h"
#include "homebridge/relayconnectionhelper.h"
#include "log/appender.h"
#include "log/logconfig.h"
#include "log/logger.h"
#include "settings/applicationsettings.h"
#include "settings/settingsprovider.h"
#include "ui/main/helpmanager.h"
#include "ui/main/mainwindow.h"
#include "ui/main/updatemanager.h"

#include <QApplication>
#include <QFile>
#include <QStandardPaths>
#include <memory>

namespace {
const Log::Logger kLog("main");

const char kOrganizationName[] = "Tolvane";
const char kOrganizationDomain[] = "tolvane.com";
const char kApplicationName[] = "TolvaneMailConnect";
const char kApplicationVersion[] = "2.3.0.8995add1";
const char kSingleInstanceKey[] = "tolvanemail_connect";
const char kLogFilePrefix[] = "tolvanemail_connect";
constexpr qint64 kMaxLogSize = 104857600;
constexpr qint64 kLogThreshold = 10485760;
constexpr quint16 kLogDaysLimit = 7;

QString dataLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::DataLocation);
}

void configureAppender()
{
    QString logsDir = dataLocation();
    if (!logsDir.endsWith(QLatin1Char('/')))
        logsDir += QLatin1Char('/');
    logsDir += QStringLiteral("logs");

    Log::Appender *appender = Log::appender();
    appender->setLogsDirPath(logsDir);
    appender->setLogFileNamePrefix(QString::fromLatin1(kLogFilePrefix));
    appender->setMaxLogSize(kMaxLogSize);
    appender->setLogThreshold(kLogThreshold);
    appender->setDaysLimit(kLogDaysLimit);
    appender->installHandler();
}
} // namespace

void initLog()
{
    Log::Logger(QString()).setLevel(Log::DEBUG);
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/log.cfg");
    Log::configure(QFile::encodeName(path).toStdString());
}

void applyForceRelaySwitch(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument.compare(QLatin1String("-r"), Qt::CaseInsensitive) == 0)
            Relay::RelayConnectionHelper::setForceRelay(true);
    }
}

int runApplication(int &argc, char **argv)
{
    // Qt's own event dispatcher instead of the GLib one: the program integrates no GLib event
    // source, and the relay's byte path wakes up with half the system calls on it. Read when
    // the application object is created.
    qputenv("QT_NO_GLIB", "1");
    Q_INIT_RESOURCE(app);
    Q_INIT_RESOURCE(help);

    QCoreApplication::setOrganizationName(QString::fromLatin1(kOrganizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(kOrganizationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kApplicationVersion));

    auto application =
        std::make_unique<SingleApplication>(argc, argv, QString::fromLatin1(kSingleInstanceKey));
    QApplication::setQuitOnLastWindowClosed(false);
    if (application->isRunning()) {
        // Another instance runs and has been told to show itself.
        application.reset();
        return 1;
    }

    configureAppender();
    // "config.cfg" lies beside the executable; set before anything asks for the server settings.
    SettingsProvider::setConfigDir(QCoreApplication::applicationDirPath());

    const QString settingsFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Tolvane/TolvaneMailConnect/");
    ApplicationSettings::instance()->getConfigData(settingsFolder,
                                                   settingsFolder + QStringLiteral("config.json"));

    initLog();
    kLog.debug() << "Storage location: " << dataLocation();

    TerminationHandler termination;
    termination.install();

    HelpManager::instance();

    auto arguments = std::make_unique<QStringList>(QCoreApplication::arguments());
    auto mainWindow = std::make_unique<MainWindow>(nullptr);
    QObject::connect(application.get(), &SingleApplication::dockClicked, mainWindow.get(),
                     &QWidget::show);

    applyForceRelaySwitch(*arguments);
    for (const QString &argument : *arguments) {
        if (argument.compare(QLatin1String("--maximized"), Qt::CaseInsensitive) == 0)
            mainWindow->maximize();
    }

    QObject::connect(application.get(), &SingleApplication::messageAvailable, mainWindow.get(),
                     &MainWindow::handleAppInstanceMsg);
    mainWindow->run();
    if (qEnvironmentVariableIsSet("TOLVANE_UPDATE_BASE_URL"))
        UpdateManager::setBaseUrl(QUrl(qEnvironmentVariable("TOLVANE_UPDATE_BASE_URL")));
    UpdateManager::instance();

    const int result = QApplication::exec();

    mainWindow.reset();
    arguments.reset();
    application.reset();
    return result;
}
