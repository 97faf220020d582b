#pragma once

#include <QDialog>
#include <QList>
#include <memory>

struct AccountDetails;
class AccountWidget;
class QAction;
class QMenu;
class QSystemTrayIcon;
class Ui_MainWindow;
class UsageStatistics;

// The main window: a dialog with the tray icon and its menu, listing one panel per running
// account.
class MainWindow : public QDialog
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Shows the window in its normal state, makes it the parent of the key dialogs, then creates
    // one panel per stored account, in stored order, and tells it to connect. Skipped: an account
    // whose POP3 or SMTP port an earlier account that is not off uses (logged), and one whose
    // user name is in use already (a "Username conflict" box, shown without waiting for it).
    void run();
    // Accepted for the "--maximized" switch; the window still shows in its normal state.
    void maximize() { m_maximized = true; }
    bool isMaximizeRequested() const { return m_maximized; }

    QSystemTrayIcon *trayIcon() const { return m_trayIcon; }
    QMenu *trayMenu() const { return m_trayMenu; }
    const QList<AccountWidget *> &accountWidgets() const { return m_accountWidgets; }

public Q_SLOTS:
    // A later start of the program asked this one to show itself.
    void handleAppInstanceMsg();

private:
    // Styles the window from the bundled style sheet.
    void applyStyleSheet();
    // Saves the settings, then ends the event loop.
    void quit();
    // The panel of an earlier account that uses one of the account's ports, and that port.
    const AccountWidget *portUser(const AccountDetails &account, int *port) const;
    // The panel of an account with the same user name.
    const AccountWidget *userNameUser(const AccountDetails &account) const;
    void showUserNameConflict(const AccountDetails &account, const AccountDetails &user);

    std::unique_ptr<Ui_MainWindow> m_ui;
    QSystemTrayIcon *m_trayIcon;
    QMenu *m_trayMenu;
    // The daily installation report; goes with the window.
    std::unique_ptr<UsageStatistics> m_usageStatistics;
    // The panels, in stored order; children of the window.
    QList<AccountWidget *> m_accountWidgets;
    int m_nextProfileId = 1;
    bool m_maximized = false;
};
