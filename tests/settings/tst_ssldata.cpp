#include "settings/ssldata.h"

#include "log/logger.h"
#include "settings/settingsprovider.h"
#include "support/certificatefactory.h"
#include "support/logcapture.h"
#include "support/testmain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QSslCertificateExtension>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <vector>

using TestSupport::CertificateFactory;
using TestSupport::LogCapture;

class TestSslData : public QObject
{
    Q_OBJECT

private:
    // Points the server settings at a fresh folder whose "config.cfg" names the given
    // certificate file (none when certFile is null), and makes the trust data anew.
    SslData *sslDataWithCertFile(const QString &certFile)
    {
        m_dir = std::make_unique<QTemporaryDir>();
        if (!certFile.isNull()) {
            const QByteArray config = "[Main]\nregistry_host=127.0.0.1\nregistry_port=4443\n"
                                      "registry_cert_file="
                + certFile.toUtf8() + "\n";
            if (!CertificateFactory::writeFile(m_dir->filePath(QStringLiteral("config.cfg")),
                                               config))
                return nullptr;
        }
        SettingsProvider::setConfigDir(m_dir->path());
        SettingsProvider::drop();
        SslData::drop();
        return SslData::instance();
    }

    static QSslCertificate builtInRegistryCa()
    {
        return QSslCertificate(QByteArray(SslData::RegistryCACertificate), QSsl::Pem);
    }

    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        Log::Logger("SslData").setLevel(Log::DEBUG);
        QVERIFY(!CertificateFactory::ca().isNull());
    }

    void cleanupTestCase()
    {
        SslData::drop();
        SettingsProvider::drop();
    }

    void builtInRegistryCaHasTheDescribedForm()
    {
        const QByteArray pem(SslData::RegistryCACertificate);
        const QList<QByteArray> lines = pem.trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.at(0), QByteArray("-----BEGIN CERTIFICATE-----"));
        QCOMPARE(lines.at(2), QByteArray("-----END CERTIFICATE-----"));
        QVERIFY(lines.at(1).size() > 64);

        const QSslCertificate certificate = builtInRegistryCa();
        QVERIFY(!certificate.isNull());
        QCOMPARE(certificate.version(), QByteArray("3"));
        QVERIFY(certificate.isSelfSigned());
        QCOMPARE(certificate.subjectInfo(QSslCertificate::CommonName),
                 certificate.issuerInfo(QSslCertificate::CommonName));
        QCOMPARE(certificate.publicKey().algorithm(), QSsl::Rsa);
        QCOMPARE(certificate.publicKey().length(), 2048);
        QVERIFY(certificate.expiryDate() > QDateTime::currentDateTimeUtc().addYears(20));
        bool caTrue = false;
        bool subjectKeyId = false;
        bool authorityKeyId = false;
        for (const QSslCertificateExtension &extension : certificate.extensions()) {
            if (extension.name() == QLatin1String("basicConstraints")) {
                caTrue = extension.value().toMap().value(QStringLiteral("ca")).toBool();
                QVERIFY(!extension.isCritical());
            }
            subjectKeyId |= extension.name() == QLatin1String("subjectKeyIdentifier");
            authorityKeyId |= extension.name() == QLatin1String("authorityKeyIdentifier");
        }
        QVERIFY(caTrue);
        QVERIFY(subjectKeyId);
        QVERIFY(authorityKeyId);
    }

    void digiCertRootIsThePublishedOne()
    {
        SslData *data = sslDataWithCertFile(QString());
        QVERIFY(data);
        const QList<QSslCertificate> roots = data->getDigiCACertificates();
        QCOMPARE(roots.size(), 1);
        QCOMPARE(roots.first().digest(QCryptographicHash::Sha256).toHex(':').toUpper(),
                 QByteArray("43:48:A0:E9:44:4C:78:CB:26:5E:05:8D:5E:89:44:B4:D8:4F:96:62:BD:26:"
                            "DB:25:7F:89:34:A4:43:C7:01:61"));
        QCOMPARE(roots.first().expiryDate(), QDateTime(QDate(2031, 11, 10), QTime(0, 0), Qt::UTC));
        // Wrapped at 64 columns.
        for (const QByteArray &line : QByteArray(SslData::kDigiCertCAPem).trimmed().split('\n'))
            QVERIFY(line.size() <= 64);
    }

    void registryList_data()
    {
        QTest::addColumn<QString>("certFile"); // "<ca>", "<two>", "<junk>", "<missing>", "<dir>"
        QTest::addColumn<QString>("expected"); // "builtin", "ca", "empty"
        QTest::addColumn<QStringList>("logLines");

        QTest::newRow("no config file")
            << QString() << "builtin" << QStringList{"Loaded registry ca certificate"};
        QTest::newRow("empty certificate file name")
            << "" << "builtin" << QStringList{"Loaded registry ca certificate"};
        QTest::newRow("named file")
            << "<ca>" << "ca" << QStringList{"Loaded registry ca certificate"};
        QTest::newRow("two certificates: only the first")
            << "<two>" << "ca" << QStringList{"Loaded registry ca certificate"};
        QTest::newRow("missing file")
            << "<missing>" << "builtin"
            << QStringList{"Failed to open file '", "Using by default production registry certificate ",
                           "Loaded registry ca certificate"};
        QTest::newRow("unreadable file")
            << "<dir>" << "builtin"
            << QStringList{"Failed to open file '", "Using by default production registry certificate ",
                           "Loaded registry ca certificate"};
        QTest::newRow("file without a certificate")
            << "<junk>" << "empty" << QStringList{"Failed to load registry CA certificate"};
    }

    void registryList()
    {
        QFETCH(QString, certFile);
        QFETCH(QString, expected);
        QFETCH(QStringList, logLines);

        QTemporaryDir files;
        const QString ca = files.filePath(QStringLiteral("ca.pem"));
        QVERIFY(CertificateFactory::writeFile(ca, CertificateFactory::ca().certificatePem));
        const QString two = files.filePath(QStringLiteral("two.pem"));
        QVERIFY(CertificateFactory::writeFile(two, CertificateFactory::ca().certificatePem
                                                       + CertificateFactory::foreignCa().certificatePem));
        const QString junk = files.filePath(QStringLiteral("junk.pem"));
        QVERIFY(CertificateFactory::writeFile(junk, "this is no certificate\n"));
        QVERIFY(QDir(files.path()).mkdir(QStringLiteral("dir.pem")));
        const QMap<QString, QString> paths{
            {"<ca>", ca},
            {"<two>", two},
            {"<junk>", junk},
            {"<missing>", files.filePath(QStringLiteral("missing.pem"))},
            {"<dir>", files.filePath(QStringLiteral("dir.pem"))},
        };
        const QString path = paths.value(certFile, certFile);

        LogCapture log;
        SslData *data = sslDataWithCertFile(path);
        QVERIFY(data);
        const QList<QSslCertificate> list = data->getRegistryCACertificates();
        if (expected == QLatin1String("builtin"))
            QCOMPARE(list, QList<QSslCertificate>{builtInRegistryCa()});
        else if (expected == QLatin1String("ca"))
            QCOMPARE(list, QList<QSslCertificate>{CertificateFactory::ca().certificate});
        else
            QVERIFY(list.isEmpty());

        const QStringList lines = log.lines();
        int from = 0;
        for (const QString &expectedLine : logLines) {
            int found = -1;
            for (int i = from; i < lines.size() && found < 0; ++i) {
                if (lines.at(i).contains(expectedLine))
                    found = i;
            }
            QVERIFY2(found >= 0, qPrintable(expectedLine));
            from = found + 1;
        }
        if (expected == QLatin1String("empty"))
            QVERIFY(!log.contains(QStringLiteral("Loaded registry ca certificate")));
        if (logLines.first().startsWith(QLatin1String("Failed to open file"))) {
            QVERIFY(log.contains(QStringLiteral("WARN")));
            QVERIFY(log.contains(QStringLiteral("Failed to open file '%1'(").arg(path)));
        }
        // The lists are copies: changing one does not change the trust data.
        QList<QSslCertificate> copy = data->getRegistryCACertificates();
        copy.append(CertificateFactory::foreignCa().certificate);
        QCOMPARE(data->getRegistryCACertificates(), list);
    }

    void registryConfigFromFactory()
    {
        QTemporaryDir dir;
        QVERIFY(!CertificateFactory::writeRegistryConfig(dir.path(), 4443).isEmpty());
        SettingsProvider::setConfigDir(dir.path());
        SettingsProvider::drop();
        SslData::drop();
        QCOMPARE(SettingsProvider::instance()->getRegistryHost(), QStringLiteral("127.0.0.1"));
        QCOMPARE(int(SettingsProvider::instance()->getRegistryPort()), 4443);
        QCOMPARE(SslData::instance()->getRegistryCACertificates(),
                 QList<QSslCertificate>{CertificateFactory::ca().certificate});
    }

    void listsAreLoadedOnce()
    {
        SslData *data = sslDataWithCertFile(QString());
        QVERIFY(data);
        // Naming a CA file afterwards changes nothing for the running process.
        QVERIFY(CertificateFactory::writeRegistryConfig(m_dir->path(), 1).size() > 0);
        SettingsProvider::drop();
        QCOMPARE(SslData::instance(), data);
        QCOMPARE(data->getRegistryCACertificates(), QList<QSslCertificate>{builtInRegistryCa()});
    }

    void concurrentFirstCallsMakeOneInstance()
    {
        QTemporaryDir dir;
        SettingsProvider::setConfigDir(dir.path());
        for (int round = 0; round < 10; ++round) {
            SettingsProvider::drop();
            SslData::drop();
            LogCapture log;
            std::vector<SslData *> seen(8, nullptr);
            std::vector<std::unique_ptr<QThread>> threads;
            for (size_t i = 0; i < seen.size(); ++i)
                threads.emplace_back(QThread::create([&seen, i] { seen[i] = SslData::instance(); }));
            for (auto &thread : threads)
                thread->start();
            for (auto &thread : threads)
                QVERIFY(thread->wait(60000));
            for (SslData *data : seen)
                QCOMPARE(data, SslData::instance());
            QCOMPARE(log.count(QStringLiteral("Loaded registry ca certificate")), 1);
            QCOMPARE(log.count(QStringLiteral("Loaded digi ca certificate")), 1);
        }
    }

    void ownIdentityFromPem()
    {
        SslData *data = sslDataWithCertFile(QString());
        QVERIFY(data);
        QVERIFY(!data->isSslReady());
        QVERIFY(data->getCertificate().isNull());
        QVERIFY(data->getPrivateKey().isNull());

        const auto &leaf = CertificateFactory::leaf();
        const QByteArray chain = leaf.certificatePem + CertificateFactory::ca().certificatePem
            + CertificateFactory::foreignCa().certificatePem;
        LogCapture log;
        QVERIFY(data->setupCertificate(leaf.keyPem, chain));
        QVERIFY(log.contains(QStringLiteral("Updated SSL certificate")));
        QVERIFY(data->isSslReady());
        QCOMPARE(data->getPrivateKey(), leaf.key);
        QCOMPARE(data->getCertificate(), leaf.certificate);
        QCOMPARE(data->getCertificateChain().size(), 3);
        QCOMPARE(data->getCertificateChainBytes(),
                 CertificateFactory::ca().certificate.toPem()
                     + CertificateFactory::foreignCa().certificate.toPem());

        QVERIFY(data->setupCertificate(leaf.key, leaf.certificate));
        QCOMPARE(data->getCertificateChain(), QList<QSslCertificate>{leaf.certificate});
        QVERIFY(data->getCertificateChainBytes().isEmpty());
    }

    void ownIdentityRejected_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("chain");
        QTest::addColumn<QStringList>("logLines");
        const auto &leaf = CertificateFactory::leaf();
        const QByteArray corrupt = "-----BEGIN CERTIFICATE-----\nMIIBroken\n-----END CERTIFICATE-----\n";
        QTest::newRow("bad key") << QByteArray("junk") << leaf.certificatePem
                                 << QStringList{"ERROR: Failed to load private key"};
        QTest::newRow("no certificates") << leaf.keyPem << QByteArray() << QStringList();
        QTest::newRow("only a corrupt certificate")
            << leaf.keyPem << corrupt << QStringList();
    }

    void ownIdentityRejected()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, chain);
        QFETCH(QStringList, logLines);
        SslData *data = sslDataWithCertFile(QString());
        QVERIFY(data);
        LogCapture log;
        QVERIFY(!data->setupCertificate(key, chain));
        QVERIFY(!data->isSslReady());
        QVERIFY(data->getCertificateChain().isEmpty());
        for (const QString &line : logLines)
            QVERIFY2(log.contains(line), qPrintable(line));
        QVERIFY(!log.contains(QStringLiteral("Updated SSL certificate")));
    }

    void ownIdentityWithNullParts()
    {
        SslData *data = sslDataWithCertFile(QString());
        QVERIFY(data);
        const auto &leaf = CertificateFactory::leaf();
        QVERIFY(data->setupCertificate(leaf.key, leaf.certificate));

        LogCapture log;
        QVERIFY(!data->setupCertificate(QSslKey(), leaf.certificate));
        QVERIFY(log.contains(QStringLiteral("Cannot setup new certificate")));
        QVERIFY(log.contains(QStringLiteral("invalid private key")));
        log.clear();
        QVERIFY(!data->setupCertificate(leaf.key, QList<QSslCertificate>{leaf.certificate, QSslCertificate()}));
        QVERIFY(log.contains(QStringLiteral("invalid certificate")));
        QVERIFY(log.contains(QStringLiteral("Cannot setup new certificate")));
        QVERIFY(!log.contains(QStringLiteral("invalid private key")));
        log.clear();
        QVERIFY(!data->setupCertificate(leaf.key, QList<QSslCertificate>()));
        QVERIFY(log.lines().isEmpty());
        // The identity installed first is untouched.
        QCOMPARE(data->getCertificateChain(), QList<QSslCertificate>{leaf.certificate});
        QCOMPARE(data->getPrivateKey(), leaf.key);
    }
};

TOLVANE_TEST_MAIN(TestSslData)
#include "tst_ssldata.moc"
