#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>

// The process-wide trust data of the TLS connections the program opens to its own service: the
// registry CA list (from the CA file named in "config.cfg", else the built-in certificate) and
// the commercial root CA list of the account server. Both are loaded once, when the instance is
// made, and only read afterwards. Also holds an optional own server identity (key and chain).
class SslData
{
public:
    ~SslData();
    SslData(const SslData &) = delete;
    SslData &operator=(const SslData &) = delete;

    // Made on the first call from any thread; never null.
    static SslData *instance();
    // Destroys the instance; the next instance() call loads the lists again.
    static void drop();

    QList<QSslCertificate> getRegistryCACertificates() const { return m_registryCACertificates; }
    QList<QSslCertificate> getDigiCACertificates() const { return m_digiCACertificates; }

    // Own identity: an unencrypted PEM RSA key with a PEM chain (own certificate first).
    bool setupCertificate(const QByteArray &keyPem, const QByteArray &chainPem);
    bool setupCertificate(const QSslKey &key, const QList<QSslCertificate> &chain);
    bool setupCertificate(const QSslKey &key, const QSslCertificate &certificate);
    bool isSslReady() const;
    QSslKey getPrivateKey() const;
    QSslCertificate getCertificate() const;
    QList<QSslCertificate> getCertificateChain() const;
    // The PEM of the chain's intermediates (all but the own certificate); empty below two.
    QByteArray getCertificateChainBytes() const;

    // The built-in registry CA: one line of Base64 between the PEM markers.
    static const char RegistryCACertificate[];
    static const char kDigiCertCAPem[];

private:
    SslData();

    void init();
    bool initRegistryCACertificates();
    bool initDigiCACertificates();

    QSslKey m_privateKey;
    QList<QSslCertificate> m_certificateChain;
    QList<QSslCertificate> m_registryCACertificates;
    QList<QSslCertificate> m_digiCACertificates;
};
