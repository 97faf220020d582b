#include "ui/main/mainwindow.h"

#include "crypto/ui/keystoreobserver.h"
#include "homebridge/usagestatistics.h"
#include "log/logger.h"
#include "settings/applicationsettings.h"
#include "ui/account/accountwidget.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>

namespace {
const Log::Logger kLog("MainWindow");
}

MainWindow::MainWindow(QWidget *parent)
    : QDialog(parent), m_ui(std::make_unique<Ui_MainWindow>()),
      m_trayIcon(new QSystemTrayIcon(this)), m_trayMenu(new QMenu(this))
{
    kLog.trace(this) << "MainWindow::MainWindow(QWidget *parent)";
    m_ui->setupUi(this);
    const QIcon icon(QStringLiteral(":/images/tray.png"));
    setWindowIcon(icon);

    QAction *showAction = m_trayMenu->addAction(tr("Show"));
    connect(showAction, &QAction::triggered, this, &MainWindow::showNormal);
    QAction *quitAction = m_trayMenu->addAction(tr("Quit"));
    connect(quitAction, &QAction::triggered, this, &MainWindow::quit);

    m_trayIcon->setIcon(icon);
    m_trayIcon->setToolTip(QStringLiteral("TolvaneMailConnect"));
    m_trayIcon->setContextMenu(m_trayMenu);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    showNormal();
            });
    m_trayIcon->show();

    applyStyleSheet();

    m_usageStatistics = std::make_unique<UsageStatistics>(QCoreApplication::applicationName(),
                                                          UsageStatistics::kConnect);
}

MainWindow::~MainWindow()
{
    kLog.trace(this) << "MainWindow::~MainWindow()";
}

void MainWindow::applyStyleSheet()
{
    // The window's style sheet reaches every widget in it, the account panels included.
    QFile file(QStringLiteral(":/style.qss"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        kLog.warn(this) << "Cannot read the style sheet" << file.fileName() << file.errorString();
        return;
    }
    setStyleSheet(QString::fromUtf8(file.readAll()));
}

void MainWindow::run()
{
    kLog.trace(this) << Q_FUNC_INFO;
    showNormal();
    KeystoreObserver::instance()->setParentWidgetForDialogs(this);

    const QList<AccountDetails> accounts = ApplicationSettings::instance()->data();
    for (const AccountDetails &account : accounts) {
        int port = 0;
        if (const AccountWidget *user = portUser(account, &port)) {
            kLog.warn(this) << "Account" << account.m_accountName << "is not started: its port"
                            << port << "is used by account" << user->account().m_accountName;
            continue;
        }
        if (const AccountWidget *user = userNameUser(account)) {
            showUserNameConflict(account, user->account());
            continue;
        }
        auto *panel = new AccountWidget(account, m_nextProfileId++, this);
        m_ui->accountsLayout->addWidget(panel);
        m_accountWidgets.append(panel);
        panel->connectToHomeBridge();
    }
    m_ui->statusLabel->setVisible(m_accountWidgets.isEmpty());
}

const AccountWidget *MainWindow::portUser(const AccountDetails &account, int *port) const
{
    // Every panel runs its account; a skipped account has none and is off.
    for (const AccountWidget *panel : m_accountWidgets) {
        const AccountDetails &other = panel->account();
        // 0 is no port at all: accounts without one do not clash.
        for (int candidate : {account.m_localPop3Port, account.m_localSmtpPort}) {
            if (candidate > 0 &&
                (candidate == other.m_localPop3Port || candidate == other.m_localSmtpPort)) {
                *port = candidate;
                return panel;
            }
        }
    }
    return nullptr;
}

const AccountWidget *MainWindow::userNameUser(const AccountDetails &account) const
{
    // Compared in the form the settings store saves user names in (letter case and the dots of
    // the local part do not count).
    const QString userName = ApplicationSettings::normalizedLogin(account.m_login);
    for (const AccountWidget *panel : m_accountWidgets) {
        if (ApplicationSettings::normalizedLogin(panel->account().m_login) == userName)
            return panel;
    }
    return nullptr;
}

void MainWindow::showUserNameConflict(const AccountDetails &account, const AccountDetails &user)
{
    kLog.warn(this) << "Account" << account.m_accountName << "is not started: its user name"
                    << account.m_login << "is used by account" << user.m_accountName;
    auto *box =
        new QMessageBox(QMessageBox::Warning, tr("Username conflict"),
                        tr("The user name %1 of account \"%2\" is used by account "
                           "\"%3\" already. The account is not connected.")
                            .arg(account.m_login, account.m_accountName, user.m_accountName),
                        QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Start-up goes on while the box is up.
    box->setModal(false);
    box->show();
}

void MainWindow::handleAppInstanceMsg()
{
    kLog.trace(this) << "void MainWindow::handleAppInstanceMsg()";
    showNormal();
}

void MainWindow::quit()
{
    kLog.trace(this) << Q_FUNC_INFO;
    ApplicationSettings::instance()->saveSettings();
    QCoreApplication::quit();
}
