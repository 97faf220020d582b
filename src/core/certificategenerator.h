#pragma once

#include <QByteArray>

class QSslCertificate;
class QSslKey;
typedef struct x509_st X509;

// Makes self-signed server certificates with a fresh RSA key, and checks whether a private key
// belongs to a certificate. Stateless; uses OpenSSL's process-wide random generator.
class CertificateGenerator
{
public:
    // A self-signed certificate (CN "TolvaneMail") with a new RSA 2048 key. On failure returns
    // false and leaves both outputs untouched.
    static bool generateCertificate(QSslCertificate *certificate, QSslKey *key);

    // The certificate as PEM text; empty for a null certificate or when writing fails.
    static QByteArray X509_to_pem(X509 *x509);

    // True only when the key is a private key whose public half is the certificate's.
    static bool isPrivateKeyCorrespondsToCertificate(const QSslCertificate &certificate,
                                                     const QSslKey &key);

    static constexpr long kSerialNumber = 57;
    static constexpr long kNotBeforeSeconds = 172800; // 48 hours back
    static constexpr long kValidDays = 1895;
    static constexpr int kKeyBits = 2048;
    static const char kCommonName[];
    static const char kOrganization[];
    static const char kEmailAddress[];
};
