#pragma once

#include "homebridge/hbaccessmanager.h"
#include "settings/accountdetails.h"

#include <QFrame>
#include <QTimer>
#include <memory>

class QMovie;
class Ui_AccountWidget;

// One account's panel. It owns a copy of the account's stored record and the account's access
// manager; told to connect, it looks for the account's HomeBridge and shows the user name, the
// status, the kind of path and where the HomeBridge's POP3, SMTP and PMTP services are reachable,
// or the access manager's error text in red. Each change of connection is logged in one line.
class AccountWidget : public QFrame
{
    Q_OBJECT
public:
    enum AccountStatus {
        kOff = 0,
        kConnecting = 1,
        kConnected = 2,
        kError = 3,
    };
    Q_ENUM(AccountStatus)

    // After a connection without a usable service, the pause before the next attempt.
    static constexpr int kRestartInterval = HBAccessManager::kRetryInterval;

    AccountWidget(const AccountDetails &account, int profileId, QWidget *parent = nullptr);
    ~AccountWidget() override;

    // Starts looking for the account's HomeBridge, its PMTP service included.
    void connectToHomeBridge();

    const AccountDetails &account() const { return m_account; }
    int profileId() const { return m_profileId; }
    AccountStatus status() const { return m_status; }
    HBAccessManager *accessManager() const { return m_accessManager; }

    // For tests: the pause before a new attempt after a connection without a usable service.
    void setRestartInterval(int milliseconds) { m_restartTimer.setInterval(milliseconds); }

public Q_SLOTS:
    void onConnected();
    void onDisconnected();
    void onError(HBAccessManager::ErrorCode code, const QString &text);

private:
    void setStatus(AccountStatus status);
    // Shows the error, logs its code and the text's first line, and enters the error state.
    void showError(int code, const QString &text);

    std::unique_ptr<Ui_AccountWidget> m_ui;
    AccountDetails m_account;
    int m_profileId;
    AccountStatus m_status = kOff;
    HBAccessManager *m_accessManager; // a child of the panel
    QMovie *m_connectingAnimation;    // a child of the panel; runs only while connecting
    QTimer m_restartTimer;
};
