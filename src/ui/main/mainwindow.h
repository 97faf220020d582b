#pragma once

#include <QDialog>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class Ui_MainWindow;
class UsageStatistics;

// The main window: a dialog with the tray icon and its menu.
class MainWindow : public QDialog
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Shows the window in its normal state.
    void run();
    // Accepted for the "--maximized" switch; the window still shows in its normal state.
    void maximize() { m_maximized = true; }
    bool isMaximizeRequested() const { return m_maximized; }

    QSystemTrayIcon *trayIcon() const { return m_trayIcon; }
    QMenu *trayMenu() const { return m_trayMenu; }

public Q_SLOTS:
    // A later start of the program asked this one to show itself.
    void handleAppInstanceMsg();

private:
    void quit();

    std::unique_ptr<Ui_MainWindow> m_ui;
    QSystemTrayIcon *m_trayIcon;
    QMenu *m_trayMenu;
    // The daily installation report; goes with the window.
    std::unique_ptr<UsageStatistics> m_usageStatistics;
    bool m_maximized = false;
};
