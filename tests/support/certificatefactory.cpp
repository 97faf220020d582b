#include "support/certificatefactory.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSaveFile>
#include <QTextStream>
#include <map>
#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace TestSupport {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509 *certificate) const { X509_free(certificate); }
};
struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct ExtensionFree {
    void operator()(X509_EXTENSION *extension) const { X509_EXTENSION_free(extension); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, ExtensionFree>;

// Key slots: each named identity has a key of its own; ad-hoc certificates share one.
enum KeySlot {
    kKeyCa,
    kKeyLeaf,
    kKeyOtherLeaf,
    kKeyForeignCa,
    kKeyForeignLeaf,
    kKeyAdHoc,
    kKeyHomeBridgeBase, // + index
};

QByteArray bioContents(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QByteArray(data, int(size)) : QByteArray();
}

// The PEM of a fresh RSA 2048 key, or of the one made earlier for the slot.
QByteArray keyPem(int slot)
{
    static QMutex mutex;
    static std::map<int, QByteArray> keys;
    QMutexLocker locker(&mutex);
    auto found = keys.find(slot);
    if (found != keys.end())
        return found->second;

    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048)));
    if (!key)
        return QByteArray();
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_PrivateKey_traditional(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                              nullptr))
        return QByteArray();
    const QByteArray pem = bioContents(bio.get());
    keys.emplace(slot, pem);
    return pem;
}

PkeyPtr readKey(const QByteArray &pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.constData(), pem.size()));
    return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr readCertificate(const QByteArray &pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.constData(), pem.size()));
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

bool addExtension(X509 *certificate, X509V3_CTX *context, int nid, const QByteArray &value)
{
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value.constData()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool addNameEntry(X509_NAME *name, const char *field, const QString &value)
{
    if (value.isEmpty())
        return true;
    const QByteArray utf8 = value.toUtf8();
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(utf8.constData()),
                                      utf8.size(), -1, 0)
        == 1;
}

TestIdentity build(const CertificateOptions &options, const TestIdentity *issuer, int slot,
                   const QString &organization = QString(), const QString &email = QString())
{
    TestIdentity result;
    const QByteArray subjectKeyPem = keyPem(slot);
    PkeyPtr subjectKey = readKey(subjectKeyPem);
    if (!subjectKey)
        return result;
    X509Ptr issuerCertificate;
    PkeyPtr issuerKey;
    if (issuer) {
        issuerCertificate = readCertificate(issuer->certificatePem);
        issuerKey = readKey(issuer->keyPem);
        if (!issuerCertificate || !issuerKey)
            return result;
    }

    X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    unsigned char serialBytes[8];
    RAND_bytes(serialBytes, sizeof serialBytes);
    serialBytes[0] &= 0x7f;
    serialBytes[0] |= 0x01;
    BIGNUM *serial = BN_bin2bn(serialBytes, sizeof serialBytes, nullptr);
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate.get()));
    BN_free(serial);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime notBefore = options.notBefore.isValid() ? options.notBefore : now.addDays(-1);
    const QDateTime notAfter = options.notAfter.isValid() ? options.notAfter : now.addDays(365);
    ASN1_TIME_set(X509_getm_notBefore(certificate.get()), time_t(notBefore.toSecsSinceEpoch()));
    ASN1_TIME_set(X509_getm_notAfter(certificate.get()), time_t(notAfter.toSecsSinceEpoch()));
    X509_set_pubkey(certificate.get(), subjectKey.get());

    X509_NAME *name = X509_get_subject_name(certificate.get());
    if (!addNameEntry(name, "O", organization) || !addNameEntry(name, "CN", options.commonName)
        || !addNameEntry(name, "emailAddress", email))
        return result;
    X509_set_issuer_name(certificate.get(),
                         issuer ? X509_get_subject_name(issuerCertificate.get()) : name);

    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer ? issuerCertificate.get() : certificate.get(),
                   certificate.get(), nullptr, nullptr, 0);
    bool ok = addExtension(certificate.get(), &context, NID_subject_key_identifier, "hash")
        && addExtension(certificate.get(), &context, NID_authority_key_identifier,
                        "keyid:always");
    if (options.certificateAuthority) {
        ok = ok
            && addExtension(certificate.get(), &context, NID_basic_constraints,
                            "critical,CA:TRUE")
            && addExtension(certificate.get(), &context, NID_key_usage,
                            "critical,keyCertSign,cRLSign,digitalSignature");
    } else if (issuer) {
        ok = ok
            && addExtension(certificate.get(), &context, NID_basic_constraints, "CA:FALSE")
            && addExtension(certificate.get(), &context, NID_ext_key_usage,
                            "serverAuth,clientAuth");
    }
    QStringList alternatives;
    for (const QString &dns : options.dnsNames)
        alternatives << QStringLiteral("DNS:") + dns;
    for (const QHostAddress &address : options.addresses)
        alternatives << QStringLiteral("IP:") + address.toString();
    if (!alternatives.isEmpty()) {
        ok = ok
            && addExtension(certificate.get(), &context, NID_subject_alt_name,
                            alternatives.join(QLatin1Char(',')).toLatin1());
    }
    if (!ok)
        return result;
    if (!X509_sign(certificate.get(), issuer ? issuerKey.get() : subjectKey.get(), EVP_sha256()))
        return result;

    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_X509(bio.get(), certificate.get()))
        return result;
    result.certificatePem = bioContents(bio.get());
    result.keyPem = subjectKeyPem;
    result.certificate = QSslCertificate(result.certificatePem, QSsl::Pem);
    result.key = QSslKey(result.keyPem, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    return result;
}

CertificateOptions caOptions(const QString &commonName)
{
    CertificateOptions options;
    options.commonName = commonName;
    options.dnsNames.clear();
    options.addresses.clear();
    options.notAfter = QDateTime::currentDateTimeUtc().addDays(3650);
    options.certificateAuthority = true;
    return options;
}

} // namespace

const TestIdentity &CertificateFactory::ca()
{
    static const TestIdentity identity =
        build(caOptions(QStringLiteral("Tolvane Test Registry CA")), nullptr, kKeyCa,
              QStringLiteral("Tolvane Test"));
    return identity;
}

const TestIdentity &CertificateFactory::leaf()
{
    static const TestIdentity identity =
        build(CertificateOptions(), &ca(), kKeyLeaf, QStringLiteral("Tolvane Test"));
    return identity;
}

const TestIdentity &CertificateFactory::otherLeaf()
{
    static const TestIdentity identity =
        build(CertificateOptions(), &ca(), kKeyOtherLeaf, QStringLiteral("Tolvane Test Other"));
    return identity;
}

const TestIdentity &CertificateFactory::foreignCa()
{
    static const TestIdentity identity =
        build(caOptions(QStringLiteral("Foreign Test CA")), nullptr, kKeyForeignCa,
              QStringLiteral("Foreign Test"));
    return identity;
}

const TestIdentity &CertificateFactory::foreignLeaf()
{
    static const TestIdentity identity =
        build(CertificateOptions(), &foreignCa(), kKeyForeignLeaf, QStringLiteral("Foreign Test"));
    return identity;
}

const TestIdentity &CertificateFactory::homeBridge(int index)
{
    static QMutex mutex;
    static std::map<int, TestIdentity> identities;
    QMutexLocker locker(&mutex);
    auto found = identities.find(index);
    if (found != identities.end())
        return found->second;
    CertificateOptions options;
    options.commonName = QStringLiteral("TolvaneMail");
    options.dnsNames.clear();
    options.addresses.clear();
    options.notBefore = QDateTime::currentDateTimeUtc().addSecs(-172800);
    options.notAfter = QDateTime::currentDateTimeUtc().addDays(1895);
    const TestIdentity identity =
        build(options, nullptr, kKeyHomeBridgeBase + index,
              QStringLiteral("HomeBridge %1").arg(index), QStringLiteral("test@localhost"));
    return identities.emplace(index, identity).first->second;
}

TestIdentity CertificateFactory::makeLeaf(const CertificateOptions &options)
{
    return build(options, &ca(), kKeyAdHoc, QStringLiteral("Tolvane Test"));
}

TestIdentity CertificateFactory::makeCertificate(const CertificateOptions &options,
                                                 const TestIdentity *issuer)
{
    return build(options, issuer, kKeyAdHoc, QStringLiteral("Tolvane Test"));
}

QString CertificateFactory::writeRegistryConfig(const QString &dir, quint16 port,
                                                const QString &host)
{
    const QString caPath = QDir(dir).absoluteFilePath(QStringLiteral("registry-ca.pem"));
    if (ca().isNull() || !writeFile(caPath, ca().certificatePem))
        return QString();
    const QString configPath = QDir(dir).absoluteFilePath(QStringLiteral("config.cfg"));
    QByteArray text;
    text += "[Main]\n";
    text += "registry_host=" + host.toUtf8() + "\n";
    text += "registry_port=" + QByteArray::number(port) + "\n";
    text += "registry_cert_file=" + caPath.toUtf8() + "\n";
    return writeFile(configPath, text) ? configPath : QString();
}

bool CertificateFactory::writeFile(const QString &path, const QByteArray &contents)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(contents);
    return file.commit();
}

} // namespace TestSupport
