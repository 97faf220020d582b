#pragma once

#include "settings/accountdetails.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class QSettings;
class QSimpleCipher;
class SettingsFile;

// The process-wide store of the user's accounts and global switches. Loaded once from
// "config.json" (or migrated from the legacy native settings), then memory is the only source of
// truth and every change rewrites the whole file. Passwords reach the file only enciphered.
// Apart from instance() and drop(), use it from the GUI thread only.
class ApplicationSettings
{
public:
    // Keys of "config.json".
    static constexpr char CfgGeneral[] = "General_Settings";
    static constexpr char CfgAutoStart[] = "AutoStart";
    static constexpr char CfgConnectionType[] = "Connection_Type";
    static constexpr char CfgEnabledLan[] = "lan";
    static constexpr char CfgEnabledInternet[] = "internet";
    static constexpr char CfgEnabledRelay[] = "relay";
    static constexpr char CfgAccounts[] = "Accounts";
    static constexpr char CfgAccountName[] = "account_name";
    static constexpr char CfgLogin[] = "login";
    static constexpr char CfgPassword[] = "password";
    static constexpr char CfgLocalPop3Port[] = "pop3_port";
    static constexpr char CfgLocalSmtpPort[] = "smtp_port";
    static constexpr char CfgShowNotifications[] = "show_notifications";
    static constexpr char CfgShowDisconnectedWidget[] = "show_disconnected_widget";
    // Keys only the legacy native settings use.
    static constexpr char CfgPrevPop3Port[] = "pop3";
    static constexpr char CfgPrevSmtpPort[] = "smtp";

    // Creates the store on the first call; safe from any thread.
    static ApplicationSettings *instance();
    // Destroys the store; the next instance() creates a fresh, unloaded one.
    static void drop();

    ApplicationSettings(const ApplicationSettings &) = delete;
    ApplicationSettings &operator=(const ApplicationSettings &) = delete;

    // Records the folder and the file, then loads the file or migrates the legacy settings.
    void getConfigData(const QString &directory, const QString &filePath);
    // Rewrites the whole file from memory, atomically where the folder allows it, else in place
    // after keeping the previous settings in previousCopyPath(). False (and logged) when it
    // failed; the previous settings are then still in the file, or in the copy, where the next
    // load takes them from while the file is damaged.
    bool saveSettings();
    // Where a save that must rewrite the file in place keeps the previous settings first: in the
    // user's configuration folder of the application, as the settings folder lets no file be made.
    static QString previousCopyPath();

    // Appends the account with its password enciphered; saves.
    void saveAccountData(const AccountDetails &account);
    // The per-account operations act on the first account of that name. Unless noted, they save
    // even when no account has that name.
    void setAccountName(const QString &oldName, const QString &newName);
    // Saves only when the account exists.
    void setUsername(const QString &accountName, const QString &login);
    QString userName(const QString &accountName) const;
    QString getPassword(const QString &accountName) const;
    // Saves only when the account exists.
    void setPassword(const QString &accountName, const QString &password);
    void setLocalPOP3Port(const QString &accountName, int port);
    int localPOP3Port(const QString &accountName) const;
    void setLocalSMTPPort(const QString &accountName, int port);
    int localSMTPPort(const QString &accountName) const;
    void setShowNotificationsBox(const QString &accountName, bool show);
    void setShowDisconnectedWidget(const QString &accountName, bool show);
    void deleteAccountInfo(const QString &accountName);

    bool isAutoStartSet() const { return m_autoStart; }
    void setAutoStart(bool autoStart);
    // The connection switches are kept and saved; their setters do not save.
    bool isLanEnabled() const { return m_lanEnabled; }
    void setLanEnabled(bool enabled) { m_lanEnabled = enabled; }
    bool isInternetEnabled() const { return m_internetEnabled; }
    void setInternetEnabled(bool enabled) { m_internetEnabled = enabled; }
    bool isRelayEnabled() const { return m_relayEnabled; }
    void setRelayEnabled(bool enabled) { m_relayEnabled = enabled; }

    // A copy of the accounts, passwords in stored form.
    QList<AccountDetails> data() const { return m_accounts; }
    // The settings folder (not the file).
    QString configFilePath() const { return m_directory; }

    // The login as stored: a login without "@" gets the service's mail domain; both parts are
    // lower-cased and blank-simplified, and the dots of the local part removed.
    static QString normalizedLogin(const QString &login);

private:
    ApplicationSettings();
    ~ApplicationSettings();

    void readSettings(QSettings &legacy);
    bool loadDocument(const QByteArray &content);
    void restoreFromCopy();
    QByteArray toJson() const;
    QString storedPassword(const QString &clearPassword) const;
    QString clearPassword(const QString &storedPassword) const;

    QList<AccountDetails>::iterator getIter(const QString &accountName);
    QList<AccountDetails>::const_iterator getIter(const QString &accountName) const;

    bool m_autoStart = true;
    bool m_lanEnabled = true;
    bool m_internetEnabled = true;
    bool m_relayEnabled = true;
    std::unique_ptr<QSimpleCipher> m_cipher;
    QList<AccountDetails> m_accounts;
    QString m_directory;
    std::unique_ptr<SettingsFile> m_file; // made by getConfigData()
};
