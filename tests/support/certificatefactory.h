#pragma once

#include "support/testidentity.h"

#include <QHostAddress>
#include <QStringList>

namespace TestSupport {

// The names a leaf made by the factory is issued for.
struct CertificateOptions
{
    QString commonName = QStringLiteral("localhost");
    QStringList dnsNames = {QStringLiteral("localhost")};
    QList<QHostAddress> addresses = {QHostAddress(QHostAddress::LocalHost)};
};

// Makes certificates at test time, so no private key ever sits in the repository. Keys are RSA
// 2048 unless said otherwise; all are valid from a day ago for ten years.
class CertificateFactory
{
public:
    // The CA the tests trust, and a leaf it signed for DNS:localhost and IP:127.0.0.1.
    static const TestIdentity &ca() { return named(kCa); }
    static const TestIdentity &leaf() { return named(kLeaf); }
    // A second leaf of the same CA with the same names.
    static const TestIdentity &otherLeaf() { return named(kOtherLeaf); }
    // A CA nobody trusts, and a leaf it signed with the same names as leaf().
    static const TestIdentity &foreignCa() { return named(kForeignCa); }
    static const TestIdentity &foreignLeaf() { return named(kForeignLeaf); }
    // Self-signed for CN "TolvaneMail", as HomeBridges publish them; one per index.
    static const TestIdentity &homeBridge(int index = 0) { return named(kHomeBridge + index); }
    // Self-signed for "localhost" with an EC P-256 key: the identity of the TLS test services.
    static const TestIdentity &localService() { return named(kLocalService); }

    // A leaf of ca() with the given names (all such leaves share one key).
    static TestIdentity makeLeaf(const CertificateOptions &options);

    // Writes ca()'s certificate as "<dir>/registry-ca.pem" and a "config.cfg" in dir whose
    // section "Main" points the registry at host:port with that CA. Returns the path of
    // "config.cfg", empty when a file could not be written.
    static QString writeRegistryConfig(const QString &dir, quint16 port,
                                       const QString &host = QStringLiteral("127.0.0.1"));
    // Writes the text to the file (replacing it); false when it could not.
    static bool writeFile(const QString &path, const QByteArray &contents);

private:
    enum { kCa, kLeaf, kOtherLeaf, kForeignCa, kForeignLeaf, kLocalService, kHomeBridge };
    static const TestIdentity &named(int which);
};

} // namespace TestSupport
