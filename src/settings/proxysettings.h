#pragma once

#include <QString>

// Host, port, user and password of a proxy named in the server-settings file.
struct ProxySettings
{
    QString host;
    quint16 port = 0;
    QString user;
    QString password;
};
