#include "core/certificategenerator.h"

#include "crypto/securerandom.h"
#include "log/logger.h"

#include <QSslCertificate>
#include <QSslKey>
#include <memory>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {
const Log::Logger kLog("CertificateGenerator");

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct PkeyContextFree {
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};
struct X509Free {
    void operator()(X509 *certificate) const { X509_free(certificate); }
};
struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

QByteArray bioContents(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QByteArray(data, int(size)) : QByteArray();
}

PkeyPtr generateRsaKey()
{
    PkeyContextPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!context || EVP_PKEY_keygen_init(context.get()) <= 0
        || EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), CertificateGenerator::kKeyBits) <= 0)
        return nullptr;
    EVP_PKEY *key = nullptr;
    if (EVP_PKEY_keygen(context.get(), &key) <= 0)
        return nullptr;
    return PkeyPtr(key);
}

bool addNameEntry(X509_NAME *name, const char *field, const char *value)
{
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char *>(value), -1, -1, 0)
        == 1;
}
} // namespace

const char CertificateGenerator::kCommonName[] = "TolvaneMail";
const char CertificateGenerator::kOrganization[] = "Tolvane";
const char CertificateGenerator::kEmailAddress[] = "support@tolvane.com";

bool CertificateGenerator::generateCertificate(QSslCertificate *certificate, QSslKey *key)
{
    kLog.trace() << "static bool CertificateGenerator::generateCertificate(QSslCertificate*, "
                    "QSslKey*)";
    if (!certificate || !key)
        return false;

    TolvaneMail::SecureRandom::secureInitOpensslRand();
    PkeyPtr pkey = generateRsaKey();
    if (!pkey) {
        kLog.error() << "Failed to generate RSA key";
        return false;
    }

    BioPtr keyBio(BIO_new(BIO_s_mem()));
    if (!keyBio
        || !PEM_write_bio_PrivateKey_traditional(keyBio.get(), pkey.get(), nullptr, nullptr, 0,
                                                 nullptr, nullptr)) {
        kLog.error() << "Failed to write private key";
        return false;
    }
    const QSslKey newKey(bioContents(keyBio.get()), QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);

    X509Ptr x509(X509_new());
    if (!x509)
        return false;
    X509_set_version(x509.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), kSerialNumber);
    X509_gmtime_adj(X509_getm_notBefore(x509.get()), -kNotBeforeSeconds);
    X509_gmtime_adj(X509_getm_notAfter(x509.get()), kValidDays * 86400L);
    X509_set_pubkey(x509.get(), pkey.get());
    X509_NAME *name = X509_get_subject_name(x509.get());
    if (!addNameEntry(name, "CN", kCommonName) || !addNameEntry(name, "O", kOrganization)
        || !addNameEntry(name, "emailAddress", kEmailAddress)
        || !X509_set_issuer_name(x509.get(), name)) {
        kLog.error() << "Failed to build certificate name";
        return false;
    }
    if (!X509_sign(x509.get(), pkey.get(), EVP_md5())) {
        kLog.error() << "Failed to sign certificate";
        return false;
    }
    const QSslCertificate newCertificate(X509_to_pem(x509.get()), QSsl::Pem);
    if (newKey.isNull() || newCertificate.isNull()) {
        kLog.error() << "Failed to load generated certificate or key";
        return false;
    }
    *certificate = newCertificate;
    *key = newKey;
    return true;
}

QByteArray CertificateGenerator::X509_to_pem(X509 *x509)
{
    if (!x509)
        return QByteArray();
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_X509(bio.get(), x509))
        return QByteArray();
    return bioContents(bio.get());
}

bool CertificateGenerator::isPrivateKeyCorrespondsToCertificate(const QSslCertificate &certificate,
                                                                const QSslKey &key)
{
    kLog.trace() << "static bool CertificateGenerator::isPrivateKeyCorrespondsToCertificate(const "
                    "QSslCertificate&, const QSslKey&)";
    if (certificate.isNull() || key.isNull() || key.type() != QSsl::PrivateKey)
        return false;

    const QByteArray der = certificate.toDer();
    const unsigned char *derData = reinterpret_cast<const unsigned char *>(der.constData());
    X509Ptr x509(d2i_X509(nullptr, &derData, der.size()));
    const QByteArray keyPem = key.toPem();
    BioPtr keyBio(BIO_new_mem_buf(keyPem.constData(), keyPem.size()));
    PkeyPtr pkey(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)
                        : nullptr);
    const bool matches = x509 && pkey && X509_check_private_key(x509.get(), pkey.get()) == 1;
    // A mismatch leaves entries in the thread's error queue, which would confuse the next TLS
    // operation on this thread.
    ERR_clear_error();
    return matches;
}
