#pragma once

#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

namespace TestSupport {

// What a certificate made by the factory says beyond its issuer.
struct CertificateOptions
{
    QString commonName = QStringLiteral("localhost");
    QStringList dnsNames = {QStringLiteral("localhost")};
    QList<QHostAddress> addresses = {QHostAddress(QHostAddress::LocalHost)};
    // Defaults: valid from a day ago for a year.
    QDateTime notBefore;
    QDateTime notAfter;
    bool certificateAuthority = false;
};

} // namespace TestSupport
