#pragma once

#include "support/certificatefactory.h"

namespace TestSupport {

// The certificate and key of the TLS test services: CertificateFactory::localService().
class TestCertificate
{
public:
    static QSslCertificate certificate() { return CertificateFactory::localService().certificate; }
    static QSslKey key() { return CertificateFactory::localService().key; }
};

} // namespace TestSupport
