#include "settings/ssldata.h"

#include "checks.h"
#include "settings/settingsprovider.h"
#include "support/certificatefactory.h"
#include "support/testmain.h"

using TestSupport::CertificateFactory;

namespace {
QByteArray sha256(const QSslCertificate &certificate)
{
    return certificate.digest(QCryptographicHash::Sha256).toHex();
}

// The trust data made anew, after the server settings of this folder.
SslData *trustDataOf(const QString &folder)
{
    SettingsProvider::setConfigDir(folder);
    SettingsProvider::drop();
    SslData::drop();
    return SslData::instance();
}
} // namespace

class TestSslData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanupTestCase()
    {
        SslData::drop();
        SettingsProvider::drop();
    }

    void builtInCertificates()
    {
        const QByteArray registry(SslData::RegistryCACertificate);
        QCOMPARE(registry.count('\n'), 3); // the placeholder registry CA: its Base64 on one line
        QCOMPARE(sha256(QSslCertificate(registry)),
                 "71aba5e801d357bd8fd24e8dba35d88cdbde62229a66bf2df7bdb7674c21f7ea");
        for (const QByteArray &line : QByteArray(SslData::kDigiCertCAPem).split('\n'))
            QVERIFY(line.size() <= 64);
        const QList<QSslCertificate> roots =
            trustDataOf(QDir::currentPath())->getDigiCACertificates();
        QCOMPARE(roots.size(), 1);
        QCOMPARE(sha256(roots.first()),
                 "4348a0e9444c78cb265e058d5e8944b4d84f9662bd26db257f8934a443c70161");
    }

    void registryList_data()
    {
        QTest::addColumn<QString>("certFile"); // in the folder of "config.cfg"; null: no such file
        QTest::addColumn<QString>("expected"); // "built-in", "ca" or "none"
        const auto row = [](const char *name, const QString &certFile, const char *expected) {
            QTest::newRow(name) << certFile << QString(expected);
        };
        row("no config file", QString(), "built-in");
        row("empty file name", "", "built-in");
        row("named file", "ca.pem", "ca");
        row("two certificates: the first", "two.pem", "ca");
        row("missing file", "missing.pem", "built-in");
        row("unreadable file", "folder.pem", "built-in");
        row("file without a certificate", "junk.pem", "none");
    }
    void registryList()
    {
        QFETCH(QString, certFile);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QByteArray ca = CertificateFactory::ca().certificatePem;
        QVERIFY(CertificateFactory::writeFile(dir.filePath("ca.pem"), ca));
        QVERIFY(CertificateFactory::writeFile(dir.filePath("two.pem"),
                                              ca + CertificateFactory::foreignCa().certificatePem));
        QVERIFY(CertificateFactory::writeFile(dir.filePath("junk.pem"), "no certificate\n"));
        QVERIFY(QDir(dir.path()).mkdir("folder.pem"));
        const QString path = certFile.isEmpty() ? certFile : dir.filePath(certFile);
        QVERIFY(certFile.isNull() ||
                CertificateFactory::writeFile(dir.filePath("config.cfg"),
                                              "[Main]\nregistry_host=127.0.0.1\nregistry_port=1\n"
                                              "registry_cert_file=" +
                                                  path.toUtf8() + "\n"));
        const QMap<QString, QList<QSslCertificate>> lists{
            {"built-in", {QSslCertificate(SslData::RegistryCACertificate)}},
            {"ca", {CertificateFactory::ca().certificate}}};
        QCOMPARE(trustDataOf(dir.path())->getRegistryCACertificates(), lists.value(expected));
    }

    void instanceFromThreads() { QVERIFY(sameInstanceFromThreads<SslData>()); }

    void ownIdentity_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QList<QSslCertificate>>("chain");
        QTest::addColumn<QByteArray>("chainBytes"); // the intermediates' PEM; null: refused
        const auto &leaf = CertificateFactory::leaf();
        const QSslCertificate ca = CertificateFactory::ca().certificate;
        const QSslCertificate foreign = CertificateFactory::foreignCa().certificate;
        QTest::newRow("chain of three")
            << leaf.keyPem << QList<QSslCertificate>{leaf.certificate, ca, foreign}
            << ca.toPem() + foreign.toPem();
        QTest::newRow("one certificate")
            << leaf.keyPem << QList<QSslCertificate>{leaf.certificate} << QByteArray("");
        QTest::newRow("no key") << QByteArray("junk") << QList<QSslCertificate>{leaf.certificate}
                                << QByteArray();
        QTest::newRow("a null certificate")
            << leaf.keyPem << QList<QSslCertificate>{leaf.certificate, QSslCertificate()}
            << QByteArray();
        QTest::newRow("no certificate") << leaf.keyPem << QList<QSslCertificate>() << QByteArray();
    }
    void ownIdentity()
    {
        QFETCH(QByteArray, key);
        QFETCH(QList<QSslCertificate>, chain);
        QFETCH(QByteArray, chainBytes);
        SslData *data = trustDataOf(QDir::currentPath());
        QVERIFY(!data->isSslReady());
        // Installed before: a refused identity leaves it in place.
        const auto &other = CertificateFactory::otherLeaf();
        QVERIFY(data->setupCertificate(other.keyPem, other.certificatePem +
                                                         CertificateFactory::ca().certificatePem));
        const bool installed = !chainBytes.isNull();
        QCOMPARE(data->setupCertificate(QSslKey(key, QSsl::Rsa), chain), installed);
        QVERIFY(data->isSslReady());
        QCOMPARE(data->getPrivateKey(), installed ? QSslKey(key, QSsl::Rsa) : other.key);
        QCOMPARE(data->getCertificate(), installed ? chain.first() : other.certificate);
        QCOMPARE(data->getCertificateChainBytes(),
                 installed ? chainBytes : CertificateFactory::ca().certificate.toPem());
        QVERIFY(!data->setupCertificate("junk", other.certificatePem));
    }
};

TOLVANE_TEST_MAIN(TestSslData)
#include "tst_ssldata.moc"
