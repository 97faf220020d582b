#include "core/extsslsocket.h"

#include "core/clienthelloreader.h"
#include "log/logger.h"

namespace {
const Log::Logger kLog("SslSocket");
const char kBeginCertificate[] = "-----BEGIN CERTIFICATE-----";
} // namespace

ExtSslSocket::ExtSslSocket(QObject *parent) : QSslSocket(parent) {}

ExtSslSocket::~ExtSslSocket() = default;

void ExtSslSocket::setHostLocalCertificate(const QString &host, const QSslCertificate &certificate)
{
    kLog.trace(this) << "void ExtSslSocket::setHostLocalCertificate(const QString&, const "
                        "QSslCertificate&)";
    m_chains.insert(host, QList<QSslCertificate>() << certificate);
}

void ExtSslSocket::setHostLocalCertificateChain(const QString &host,
                                                const QList<QSslCertificate> &chain)
{
    kLog.trace(this) << "void ExtSslSocket::setHostLocalCertificateChain(const QString&, const "
                        "QList<QSslCertificate>&)";
    m_chains.insert(host, chain);
}

void ExtSslSocket::setHostPrivateKey(const QString &host, const QSslKey &key)
{
    kLog.trace(this) << "void ExtSslSocket::setHostPrivateKey(const QString&, const QSslKey&)";
    m_keys.insert(host, key);
}

void ExtSslSocket::startServerEncryption()
{
    kLog.trace(this) << "void ExtSslSocket::startServerEncryption()";
    connect(this, &QIODevice::readyRead, this, &ExtSslSocket::onReadyRead, Qt::UniqueConnection);
    // The ClientHello may have arrived before we were asked.
    if (bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &ExtSslSocket::onReadyRead, Qt::QueuedConnection);
}

void ExtSslSocket::onReadyRead()
{
    kLog.trace(this) << "void ExtSslSocket::onReadyRead()";
    if (mode() != QSslSocket::UnencryptedMode)
        return;
    // Peeking leaves the bytes in place for the handshake.
    const QByteArray data = peek(kPeekSize);
    if (!checkSSLPackageReady(data))
        return;

    const QString name = getSNI(data);
    kLog.debug(this) << "Name:" << name;
    if (!installIdentity(name)) {
        const int dot = name.indexOf(QLatin1Char('.'));
        if (dot >= 0)
            installIdentity(name.mid(dot + 1));
    }
    disconnect(this, &QIODevice::readyRead, this, &ExtSslSocket::onReadyRead);
    QSslSocket::startServerEncryption();
}

bool ExtSslSocket::installIdentity(const QString &host)
{
    const auto chain = m_chains.constFind(host);
    const auto key = m_keys.constFind(host);
    if (chain == m_chains.constEnd() || key == m_keys.constEnd())
        return false;
    setLocalCertificateChain(*chain);
    setPrivateKey(*key);
    return true;
}

QList<QSslCertificate> ExtSslSocket::extractCertificatesFromPemChain(const QByteArray &pem,
                                                                     bool *ok)
{
    if (ok)
        *ok = true;
    QList<QSslCertificate> certificates;
    const QString begin = QString::fromLatin1(kBeginCertificate);
    // Every byte counts: a NUL must not hide the rest of the text.
    const QStringList blocks = QString::fromLatin1(pem.constData(), pem.size()).split(begin);
    for (const QString &block : blocks) {
        if (block.simplified().isEmpty())
            continue;
        const QSslCertificate certificate((begin + block).toLatin1(), QSsl::Pem);
        if (!certificate.isNull())
            certificates.append(certificate);
        else if (ok)
            *ok = false;
    }
    return certificates;
}
