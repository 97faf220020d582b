#include "settings/settingsprovider.h"

#include "checks.h"
#include "settings/ssldata.h"
#include "support/certificatefactory.h"
#include "support/testmain.h"

using TestSupport::CertificateFactory;

// The server settings of "config.cfg" and the trust data made after them.
class TestServerSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    // A fresh configuration folder with this "config.cfg" (none when null; "<dir>" stands for the
    // folder), the test CA in "ca.pem" and after it another in "two.pem", read anew.
    SettingsProvider *providerWith(QByteArray config)
    {
        m_dir = std::make_unique<QTemporaryDir>();
        const QByteArray ca = CertificateFactory::ca().certificatePem;
        CertificateFactory::writeFile(m_dir->filePath("ca.pem"), ca);
        CertificateFactory::writeFile(m_dir->filePath("two.pem"),
                                      ca + CertificateFactory::foreignCa().certificatePem);
        if (!config.isNull()) {
            CertificateFactory::writeFile(
                m_dir->filePath("config.cfg"),
                config.replace("<dir>", QFile::encodeName(m_dir->path())));
        }
        SettingsProvider::setConfigDir(m_dir->path());
        SettingsProvider::drop();
        SslData::drop();
        return SettingsProvider::instance();
    }

private Q_SLOTS:
    void cleanupTestCase()
    {
        SslData::drop();
        SettingsProvider::drop();
    }

    void registry_data()
    {
        // The values in force: host, port and certificate file (<dir>: the configuration
        // folder), and the registry CA list: the built-in certificate, the test CA or none.
        QTest::addColumn<QByteArray>("config"); // null: no file
        QTest::addColumn<QString>("values");
        QTest::addColumn<QString>("list");
        const auto row = [](const char *name, const char *config, const char *values,
                            const char *list = "built-in") {
            QTest::newRow(name) << (config ? QByteArray(config).replace(';', "\nregistry_")
                                           : QByteArray())
                                << QString(values) << QString(list);
        };
        const char *defaults = "registry.tolvane.com 443 ";
        row("all three", "[Main];host=h;port=8443;cert_file=<dir>/ca.pem", "h 8443 <dir>/ca.pem",
            "ca");
        row("no certificate file", "[Main];host=h;port=8443", defaults);
        row("no port", "[Main];host=h;cert_file=<dir>/ca.pem", defaults);
        row("no host", "[Main];port=8443;cert_file=<dir>/ca.pem", defaults);
        row("empty certificate file counts", "[Main];host=h;port=9000;cert_file=", "h 9000 ");
        row("port above 65535: low 16 bits", "[Main];host=h;port=70000;cert_file=", "h 4464 ");
        row("port not a number", "[Main];host=h;port=https;cert_file=", "h 0 ");
        row("outside any section", ";host=h;port=1;cert_file=<dir>/ca.pem", defaults);
        row("in another section", "[Other];host=h;port=1;cert_file=<dir>/ca.pem", defaults);
        row("empty file", "", defaults);
        row("no file", nullptr, defaults);
        row("two certificates: the first", "[Main];host=h;port=1;cert_file=<dir>/two.pem",
            "h 1 <dir>/two.pem", "ca");
        row("missing file", "[Main];host=h;port=1;cert_file=<dir>/no.pem", "h 1 <dir>/no.pem");
        row("unreadable file", "[Main];host=h;port=1;cert_file=<dir>", "h 1 <dir>");
        row("file without a certificate", "[Main];host=h;port=1;cert_file=<dir>/config.cfg",
            "h 1 <dir>/config.cfg", "none");
    }
    void registry()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, values);
        QFETCH(QString, list);
        SettingsProvider *provider = providerWith(config);
        QCOMPARE(QStringLiteral("%1 %2 %3")
                     .arg(provider->getRegistryHost())
                     .arg(provider->getRegistryPort())
                     .arg(provider->getRegistryCertFile()),
                 values.replace("<dir>", m_dir->path()));
        const QMap<QString, QList<QSslCertificate>> lists{
            {"built-in", {QSslCertificate(SslData::RegistryCACertificate)}},
            {"ca", {CertificateFactory::ca().certificate}}};
        QCOMPARE(SslData::instance()->getRegistryCACertificates(), lists.value(list));
    }

    // Only with its own key, owner-only even where an older key file was wider, and recorded.
    void storesCertificate()
    {
        SettingsProvider *provider = providerWith("[Main]\n");
        const QString keyFile = m_dir->filePath("homebridge.key");
        QVERIFY(CertificateFactory::writeFile(keyFile, "old") &&
                ::chmod(qPrintable(keyFile), 0644) == 0);
        const QByteArray pem = CertificateFactory::homeBridge(0).certificatePem;
        QVERIFY(!provider->setSSLCertificate(pem, CertificateFactory::homeBridge(1).key.toPem()));
        QVERIFY(provider->setSSLCertificate(pem, CertificateFactory::homeBridge(0).key.toPem()));
        QCOMPARE(fileMode(keyFile), 0600);
        QCOMPARE(
            QSettings(m_dir->filePath("config.cfg"), QSettings::IniFormat).value("Main/ssl_pkey"),
            "homebridge.key");
    }

    void builtInCertificates()
    {
        const QByteArray registry(SslData::RegistryCACertificate);
        QCOMPARE(registry.count('\n'), 3); // the placeholder registry CA: its Base64 on one line
        QCOMPARE(QSslCertificate(registry).digest(QCryptographicHash::Sha256).toHex(),
                 "71aba5e801d357bd8fd24e8dba35d88cdbde62229a66bf2df7bdb7674c21f7ea");
        const QList<QSslCertificate> roots = SslData::instance()->getDigiCACertificates();
        QCOMPARE(roots.size(), 1);
        QCOMPARE(roots.first().digest(QCryptographicHash::Sha256).toHex(),
                 "4348a0e9444c78cb265e058d5e8944b4d84f9662bd26db257f8934a443c70161");
    }

    void instances()
    {
        // Asked before the configuration folder is set: the program's own folder.
        SettingsProvider::drop();
        SettingsProvider::setConfigDir(QString());
        QCOMPARE(SettingsProvider::instance()->getDataPath(),
                 QCoreApplication::applicationDirPath() + '/');
        // Worker threads reach both: their first calls make one instance each.
        QVERIFY(sameInstanceFromThreads<SettingsProvider>());
        QVERIFY(sameInstanceFromThreads<SslData>());
    }
};

TOLVANE_TEST_MAIN(TestServerSettings)
#include "tst_serversettings.moc"
