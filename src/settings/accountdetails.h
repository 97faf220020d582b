#pragma once

#include <QString>

// One mail account as the settings store keeps it. The password is in its stored form (Base64 of
// the cipher text), except in the record handed to ApplicationSettings::saveAccountData, where it
// is the clear password.
struct AccountDetails
{
    QString m_accountName; // the key inside the store; compared case-sensitively
    QString m_login;
    QString m_password;
    int m_localPop3Port = 0;
    int m_localSmtpPort = 0;
    bool m_showNotifications = false;
    bool m_showDisconnectedWidget = true;

    bool operator==(const AccountDetails &other) const;
    bool operator!=(const AccountDetails &other) const { return !(*this == other); }
};
