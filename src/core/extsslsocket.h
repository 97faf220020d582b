#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QString>

// A TLS server socket that serves several host names: before the handshake it reads the server
// name the client asks for in its ClientHello and installs the certificate chain and key
// registered for that name (or for the name without its first label).
class ExtSslSocket : public QSslSocket
{
    Q_OBJECT
public:
    explicit ExtSslSocket(QObject *parent = nullptr);
    ~ExtSslSocket() override;

    void setHostLocalCertificate(const QString &host, const QSslCertificate &certificate);
    void setHostLocalCertificateChain(const QString &host, const QList<QSslCertificate> &chain);
    void setHostPrivateKey(const QString &host, const QSslKey &key);

    // Waits for the client's first record, chooses the identity, then starts the server
    // handshake. Hides QSslSocket::startServerEncryption on purpose.
    void startServerEncryption();

    // Splits PEM text into its certificates, in order. When given, *ok is false if any block
    // was not a valid certificate (the valid ones are still returned).
    static QList<QSslCertificate> extractCertificatesFromPemChain(const QByteArray &pem,
                                                                  bool *ok = nullptr);

    // How much of the client's first bytes are looked at.
    static constexpr qint64 kPeekSize = 102400;

private Q_SLOTS:
    void onReadyRead();

private:
    bool installIdentity(const QString &host);

    QMap<QString, QList<QSslCertificate>> m_chains;
    QMap<QString, QSslKey> m_keys;
};
