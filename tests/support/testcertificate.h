#pragma once

#include <QSslCertificate>
#include <QSslKey>

namespace TestSupport {

// A self-signed certificate and its key for TLS test services, made once per process
// (EC P-256, common name "localhost", valid from an hour ago for a year).
class TestCertificate
{
public:
    static QSslCertificate certificate();
    static QSslKey key();

private:
    static void make();
};

} // namespace TestSupport
