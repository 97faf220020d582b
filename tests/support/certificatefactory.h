#pragma once

#include "support/certificateoptions.h"
#include "support/testidentity.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

namespace TestSupport {

// Makes certificates at test time, so no private key ever sits in the repository. Keys are RSA
// 2048 made through OpenSSL's EVP interface; the named identities below are built once per test
// process and then handed out from a cache, so tests stay fast.
class CertificateFactory
{
public:
    // The CA the tests trust, and a leaf it signed for "localhost" and 127.0.0.1 (SANs
    // DNS:localhost and IP:127.0.0.1).
    static const TestIdentity &ca();
    static const TestIdentity &leaf();
    // A second leaf of the same CA with the same names, for tests that need two server identities.
    static const TestIdentity &otherLeaf();

    // A CA nobody trusts, and a leaf it signed with the same names as leaf().
    static const TestIdentity &foreignCa();
    static const TestIdentity &foreignLeaf();

    // Self-signed certificates of the kind a HomeBridge publishes in its record (v3, CN
    // "TolvaneMail", no issuer but itself). Different indexes give different identities.
    static const TestIdentity &homeBridge(int index = 0);

    // A leaf of ca() with the given names and validity (fresh key from the cache's pool).
    static TestIdentity makeLeaf(const CertificateOptions &options);
    // A leaf of any issuer; a null issuer makes it self-signed.
    static TestIdentity makeCertificate(const CertificateOptions &options,
                                        const TestIdentity *issuer);

    // Writes ca()'s certificate as "<dir>/registry-ca.pem" and a "config.cfg" in dir whose
    // section "Main" points the registry at host:port with that CA. Returns the path of
    // "config.cfg", empty when a file could not be written.
    static QString writeRegistryConfig(const QString &dir, quint16 port,
                                       const QString &host = QStringLiteral("127.0.0.1"));
    // Writes the text to the file (replacing it); false when it could not.
    static bool writeFile(const QString &path, const QByteArray &contents);
};

} // namespace TestSupport
