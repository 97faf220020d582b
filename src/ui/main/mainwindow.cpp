#include "ui/main/mainwindow.h"

#include "homebridge/usagestatistics.h"
#include "log/logger.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QMenu>
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

    m_usageStatistics = std::make_unique<UsageStatistics>(QCoreApplication::applicationName(),
                                                          UsageStatistics::kConnect);
}

MainWindow::~MainWindow()
{
    kLog.trace(this) << "MainWindow::~MainWindow()";
}

void MainWindow::run()
{
    kLog.trace(this) << "void MainWindow::run()";
    showNormal();
}

void MainWindow::handleAppInstanceMsg()
{
    kLog.trace(this) << "void MainWindow::handleAppInstanceMsg()";
    showNormal();
}

void MainWindow::quit()
{
    kLog.trace(this) << "void MainWindow::quit()";
    QCoreApplication::quit();
}
