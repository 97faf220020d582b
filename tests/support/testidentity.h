#pragma once

#include <QSslCertificate>
#include <QSslKey>

namespace TestSupport {

// A private key with its certificate, and the certificate as PEM text.
struct TestIdentity
{
    QSslKey key;
    QSslCertificate certificate;
    QByteArray certificatePem;
};

} // namespace TestSupport
