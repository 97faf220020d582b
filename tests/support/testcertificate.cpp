#include "support/testcertificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace TestSupport {

namespace {

QSslCertificate s_certificate;
QSslKey s_key;

QByteArray bioBytes(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(length));
}

} // namespace

void TestCertificate::make()
{
    if (!s_certificate.isNull())
        return;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x509(X509_new(), X509_free);
    if (!key || !x509)
        return;
    X509_set_version(x509.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x509.get()), 365L * 24 * 3600);
    X509_set_pubkey(x509.get(), key.get());
    X509_NAME *name = X509_get_subject_name(x509.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("localhost"), -1, -1, 0);
    X509_set_issuer_name(x509.get(), name);
    if (X509_sign(x509.get(), key.get(), EVP_sha256()) <= 0)
        return;
    std::unique_ptr<BIO, decltype(&BIO_free)> certBio(BIO_new(BIO_s_mem()), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(certBio.get(), x509.get());
    PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    s_certificate = QSslCertificate(bioBytes(certBio.get()), QSsl::Pem);
    s_key = QSslKey(bioBytes(keyBio.get()), QSsl::Ec, QSsl::Pem);
}

QSslCertificate TestCertificate::certificate()
{
    make();
    return s_certificate;
}

QSslKey TestCertificate::key()
{
    make();
    return s_key;
}

} // namespace TestSupport
