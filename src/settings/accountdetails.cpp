#include "settings/accountdetails.h"

bool AccountDetails::operator==(const AccountDetails &other) const
{
    return m_accountName == other.m_accountName && m_login == other.m_login &&
           m_password == other.m_password && m_localPop3Port == other.m_localPop3Port &&
           m_localSmtpPort == other.m_localSmtpPort &&
           m_showNotifications == other.m_showNotifications &&
           m_showDisconnectedWidget == other.m_showDisconnectedWidget;
}
