#pragma once

#include "homebridge/hbdrelay.h"

#include <QSslCertificate>
#include <QString>

// Where and how a HomeBridge can be reached, and the certificate it presents.
class HBDInfo
{
public:
    HBDRelay Relay;
    HBDRelay Relay2;
    QString ExternalIP;
    QString LocalIP;
    QString Host;
    bool Addressable = false;
    QSslCertificate Certificate = QSslCertificate(QByteArray());
};
