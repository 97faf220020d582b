#include "support/certificatefactory.h"

#include <QDir>
#include <QSaveFile>
#include <map>
#include <memory>
#include <mutex>

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace TestSupport {

namespace {

template <typename T, typename Free> std::unique_ptr<T, Free> own(T *object, Free free)
{
    return std::unique_ptr<T, Free>(object, free);
}

// What write() put into a memory buffer; empty when it failed.
template <typename Write> QByteArray toPem(Write write)
{
    const auto bio = own(BIO_new(BIO_s_mem()), BIO_free);
    char *data = nullptr;
    const long size = write(bio.get()) == 1 ? BIO_get_mem_data(bio.get(), &data) : 0;
    return QByteArray(data, int(size));
}

QByteArray newKeyPem(QSsl::KeyAlgorithm algorithm)
{
    const auto key =
        own(algorithm == QSsl::Ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048), EVP_PKEY_free);
    return toPem([&key](BIO *bio) {
        return PEM_write_bio_PrivateKey_traditional(bio, key.get(), nullptr, nullptr, 0, nullptr,
                                                    nullptr);
    });
}

void addExtension(X509 *certificate, int nid, const QByteArray &value)
{
    const auto extension =
        own(X509V3_EXT_nconf_nid(nullptr, nullptr, nid, value.constData()), X509_EXTENSION_free);
    X509_add_ext(certificate, extension.get(), -1);
}

// A certificate for the key with the options' names: a leaf when there is an issuer, else
// self-signed, a CA when asked.
TestIdentity build(const CertificateOptions &options, const TestIdentity *issuer,
                   const QByteArray &keyPem, QSsl::KeyAlgorithm algorithm = QSsl::Rsa,
                   bool authority = false)
{
    const auto readKey = [](const QByteArray &pem) {
        const auto bio = own(BIO_new_mem_buf(pem.constData(), pem.size()), BIO_free);
        return own(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    };
    const auto key = readKey(keyPem);
    const auto signer = readKey(issuer ? issuer->key.toPem() : keyPem);
    const auto certificate = own(X509_new(), X509_free);
    X509 *x509 = certificate.get();
    X509_set_version(x509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), QRandomGenerator::global()->bounded(1 << 30));
    X509_gmtime_adj(X509_getm_notBefore(x509), -86400L);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3650 * 86400L);
    X509_set_pubkey(x509, key.get());
    X509_NAME *subject = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const uchar *>(options.commonName.toUtf8().data()),
                               -1, -1, 0);
    // The issuer's handle is its X509 in the OpenSSL backend.
    X509_set_issuer_name(
        x509, issuer ? X509_get_subject_name(static_cast<X509 *>(issuer->certificate.handle()))
                     : subject);
    if (authority)
        addExtension(x509, NID_basic_constraints, "critical,CA:TRUE");
    QStringList alternatives;
    for (const QString &name : options.dnsNames)
        alternatives << QStringLiteral("DNS:") + name;
    for (const QHostAddress &address : options.addresses)
        alternatives << QStringLiteral("IP:") + address.toString();
    if (!alternatives.isEmpty())
        addExtension(x509, NID_subject_alt_name, alternatives.join(QLatin1Char(',')).toLatin1());
    X509_sign(x509, signer.get(), EVP_sha256());
    const QByteArray pem = toPem([x509](BIO *bio) { return PEM_write_bio_X509(bio, x509); });
    return {QSslKey(keyPem, algorithm), QSslCertificate(pem), pem};
}

} // namespace

const TestIdentity &CertificateFactory::named(int which)
{
    static std::recursive_mutex mutex; // a leaf fetches its CA
    static std::map<int, TestIdentity> made;
    const std::lock_guard<std::recursive_mutex> locker(mutex);
    const auto found = made.find(which);
    if (found != made.end())
        return found->second;
    const QSsl::KeyAlgorithm algorithm = which == kLocalService ? QSsl::Ec : QSsl::Rsa;
    const QByteArray key = newKeyPem(algorithm);
    const auto selfSigned = [&](const char *commonName, bool authority = false) {
        return build({commonName, {}, {}}, nullptr, key, algorithm, authority);
    };
    const TestIdentity identity = which == kCa ? selfSigned("Tolvane Test Registry CA", true)
                                  : which == kForeignCa ? selfSigned("Foreign Test CA", true)
                                  : which == kLeaf || which == kOtherLeaf ? build({}, &ca(), key)
                                  : which == kForeignLeaf  ? build({}, &foreignCa(), key)
                                  : which == kLocalService ? selfSigned("localhost")
                                                           : selfSigned("TolvaneMail");
    return made.emplace(which, identity).first->second;
}

TestIdentity CertificateFactory::makeLeaf(const CertificateOptions &options)
{
    static const QByteArray sharedKey = newKeyPem(QSsl::Rsa);
    return build(options, &ca(), sharedKey);
}

QString CertificateFactory::writeRegistryConfig(const QString &dir, quint16 port,
                                                const QString &host)
{
    const QString caPath = QDir(dir).absoluteFilePath(QStringLiteral("registry-ca.pem"));
    const QString configPath = QDir(dir).absoluteFilePath(QStringLiteral("config.cfg"));
    const QByteArray text = "[Main]\nregistry_host=" + host.toUtf8() +
                            "\nregistry_port=" + QByteArray::number(port) +
                            "\nregistry_cert_file=" + caPath.toUtf8() + "\n";
    return writeFile(caPath, ca().certificatePem) && writeFile(configPath, text) ? configPath
                                                                                 : QString();
}

bool CertificateFactory::writeFile(const QString &path, const QByteArray &contents)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() &&
           file.commit();
}

} // namespace TestSupport
