#include "settings/settingsprovider.h"

#include "checks.h"
#include "support/certificatefactory.h"
#include "support/testmain.h"

using TestSupport::CertificateFactory;
using P = SettingsProvider;
using Reader = QString (*)(SettingsProvider *);
Q_DECLARE_METATYPE(Reader)

namespace {

template <auto accessor> QString text(SettingsProvider *provider)
{
    return QVariant((provider->*accessor)()).toString();
}

QString proxy(SettingsProvider *provider)
{
    const ProxySettings proxy = provider->getProxySettings();
    return QStringList({proxy.host, QString::number(proxy.port), proxy.user, proxy.password})
        .join(':');
}

// Accessor, section/key, the result without the key, the result of a stored "0".
const struct
{
    Reader read;
    const char *key, *absent, *zero;
} kKeys[] = {
    {text<&P::getPMTPServerPort>, "Main/pmtp_port", "8556", "8556"},
    {text<&P::getEncryptedPOPServerPort>, "Main/pop3_port", "995", "995"},
    {text<&P::getEncryptedSMTPServerPort>, "Main/smtp_port", "465", "465"},
    {text<&P::getExternalSMTPPort>, "Main/non_auth_smtp_port", "25", "25"},
    {text<&P::getRelayServerPort>, "Main/relay_port", "17000", "17000"},
    {text<&P::getWebMailServerPort>, "Main/web_mail_port", "18000", "18000"},
    {text<&P::getWebServerPort>, "Main/webserver_port", "0", "0"},
    {text<&P::getLogsKeepTime>, "Main/logs_keep_time", "14", "14"},
    {text<&P::getSpamMaxSize>, "Main/spam_max_size", "10485760", "10485760"},
    {text<&P::senderParallelRecipients>, "Main/parallel_recipients", "5", "5"},
    {text<&P::senderMessagesPerRecipient>, "Main/messages_per_recipient", "2", "2"},
    {text<&P::senderSmallMessagesPerRecipient>, "Main/small_messages_per_recipient", "1", "1"},
    {text<&P::senderThreadCount>, "Main/sender_thread_count", "3", "3"},
    {text<&P::getDbPort>, "DataBase/db_port", "3306", "0"},
    {text<&P::getMaxMessageSize>, "Main/max_message_size", "0", "0"},
    {text<&P::isExtEmailsPrivacy>, "Main/external_emails_privacy", "true", "false"},
    {text<&P::isUPnPEnabled>, "Main/use_upnp", "false", "false"},
    {text<&P::isWakeOnLanEnabled>, "Main/wake_on_lan", "true", "false"},
    {text<&P::getUPnPRemapPorts>, "Main/upnp_remap_ports", "true", "false"},
    {text<&P::isDeliveryNotificationsEnabled>, "Main/delivery_notifications", "false", "false"},
    {text<&P::isSubjectUsedInWebLink>, "Main/send_subject_in_weblink", "true", "false"},
    {text<&P::getSpamDelete>, "Main/spam_delete", "false", "false"},
    {text<&P::getStatisticStatus>, "DataBase/enable_statistics", "true", "false"},
    {text<&P::getRegistryServerType>, "Main/registry_server_type", "", "0"},
    {text<&P::getHostname>, "Main/host", "", "0"},
    {text<&P::getSpamdAddress>, "Main/spamd", "", "0"},
    {text<&P::getDbType>, "DataBase/db_type", "", "0"},
    {text<&P::getDbName>, "DataBase/db_name", "", "0"},
    {text<&P::getDbHostName>, "DataBase/db_host_name", "", "0"},
    {text<&P::getDbPassword>, "DataBase/db_password", "", "0"},
    {text<&P::getDbUserName>, "DataBase/db_user_name", "", "0"},
    {text<&P::getDataPath>, "Main/data_path", "<config>", "0"},
};

} // namespace

class TestSettingsProvider : public QObject
{
    Q_OBJECT

    // A fresh configuration folder with this "config.cfg" (none when null), and a provider that
    // has read it.
    SettingsProvider *providerWith(const QString &config)
    {
        m_dir = std::make_unique<QTemporaryDir>();
        if (!config.isNull())
            CertificateFactory::writeFile(m_dir->filePath("config.cfg"), config.toUtf8());
        SettingsProvider::setConfigDir(m_dir->path());
        SettingsProvider::drop();
        return SettingsProvider::instance();
    }

    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void cleanupTestCase() { SettingsProvider::drop(); }

    void registryValues_data()
    {
        QTest::addColumn<QString>("config"); // null: no file
        QTest::addColumn<QString>("values"); // host, port and certificate file in force
        const QString defaults = "registry.tolvane.com 443 ";
        const auto row = [](const char *name, const char *config, const QString &values) {
            QTest::newRow(name) << QString(config).replace(';', "\nregistry_") << values;
        };
        row("all three", "[Main];host=h;port=8443;cert_file=ca.pem", "h 8443 ca.pem");
        row("no certificate file", "[Main];host=h;port=8443", defaults);
        row("no port", "[Main];host=h;cert_file=ca.pem", defaults);
        row("no host", "[Main];port=8443;cert_file=ca.pem", defaults);
        row("empty certificate file counts", "[Main];host=h;port=9000;cert_file=", "h 9000 ");
        row("port above 65535: low 16 bits", "[Main];host=h;port=70000;cert_file=a", "h 4464 a");
        row("port not a number", "[Main];host=h;port=https;cert_file=a", "h 0 a");
        row("outside any section", ";host=h;port=1;cert_file=a", defaults);
        row("in another section", "[Other];host=h;port=1;cert_file=a", defaults);
        row("empty file", "", defaults);
        row("no file", nullptr, defaults);
    }
    void registryValues()
    {
        QFETCH(QString, config);
        QFETCH(QString, values);
        SettingsProvider *provider = providerWith(config);
        QCOMPARE(QStringLiteral("%1 %2 %3")
                     .arg(provider->getRegistryHost())
                     .arg(provider->getRegistryPort())
                     .arg(provider->getRegistryCertFile()),
                 values);
    }

    void instanceBeforeConfigDirUsesProgramFolder()
    {
        SettingsProvider::drop();
        SettingsProvider::setConfigDir(QString());
        QCOMPARE(SettingsProvider::instance()->getDataPath(),
                 QCoreApplication::applicationDirPath() + '/');
        QVERIFY(sameInstanceFromThreads<SettingsProvider>()); // the creation lock was let go
    }

    void accessors_data()
    {
        QTest::addColumn<Reader>("read");
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("expected"); // "<config>": the configuration folder and "/"
        const auto row = [](Reader read, const QString &key, const QString &lines,
                            const QString &expected) {
            QTest::addRow("%s %s", qPrintable(key), qPrintable(lines))
                << read << QStringLiteral("[%1]\n%2\n").arg(key.section('/', 0, 0), lines)
                << expected;
        };
        for (const auto &k : kKeys) {
            const QString key = QString(k.key).section('/', 1);
            row(k.read, k.key, "", k.absent);
            row(k.read, k.key, key + "=0", k.zero);
            row(k.read, k.key, key + "=4321",
                QString(k.absent).contains(QRegExp("true|false")) ? "true" : "4321");
        }
        row(text<&P::getMaxMessageSize>, "Main", "max_message_size=5000000000", "5000000000");
        row(text<&P::getDataPath>, "Main", "data_path=", "<config>");
        for (const char *ip : {"127.0.0.2", "0.0.0.255"})
            row(text<&P::getExternalIp>, "Main", QStringLiteral("external_ip=") + ip, ip);
        for (const char *ip : {"127.0.0.256", "127.0.0.01", "01.2.3.4", "127.0.1", "localhost"})
            row(text<&P::getExternalIp>, "Main", QStringLiteral("external_ip=") + ip, "");
        row(proxy, "Main", "proxy_host=h\nproxy_port=3128\nproxy_user=u\nproxy_password=p",
            "h:3128:u:p");
        row(proxy, "Main", "proxy_host=h\nproxy_user=u\nproxy_password=p", ":0:u:p");
        row(proxy, "Main", "proxy_host=h\nproxy_port=3128\nproxy_user=u", "h:3128::");
    }
    void accessors()
    {
        QFETCH(Reader, read);
        QFETCH(QString, config);
        QFETCH(QString, expected);
        SettingsProvider *provider = providerWith(config);
        QCOMPARE(read(provider), expected.replace("<config>", m_dir->path() + '/'));
    }

    void fileReaders()
    {
        const auto read = [](SettingsProvider *provider) {
            return QList<QByteArray>{provider->getSslPrivateKey(), provider->getSslCertificate(),
                                     provider->getSslCACertificate()};
        };
        SettingsProvider *provider = providerWith("[Main]\n");
        for (const char *name : {"homebridge.key", "homebridge.crt", "TolvaneCA.crt"})
            QVERIFY(CertificateFactory::writeFile(m_dir->filePath(name), name));
        QCOMPARE(read(provider),
                 QList<QByteArray>({"homebridge.key", "homebridge.crt", "TolvaneCA.crt"}));
        // A relative name is taken in the configuration folder, an absolute one as it is; at most
        // 1,024,000 bytes are read.
        const QString big = QDir::current().filePath("big");
        QVERIFY(CertificateFactory::writeFile(big, QByteArray(1024000 + 5000, 'x')));
        provider = providerWith("[Main]\nssl_pkey=k\nssl_cert=" + big + "\nssl_ca_cert=missing\n");
        QVERIFY(CertificateFactory::writeFile(m_dir->filePath("k"), "relative"));
        QCOMPARE(read(provider), QList<QByteArray>({"relative", QByteArray(1024000, 'x'), ""}));
        QCOMPARE(provider->lastError(), "Cannot open file " + m_dir->path() + "/missing");
    }

    void msgSizeRules()
    {
        SettingsProvider *provider = providerWith("[Main]\nmsg_size_rules_cfg_path=rules.txt\n");
        QVERIFY(provider->getMsgSizeRules().isEmpty());
        QCOMPARE(provider->lastError(), "Cannot open file " + m_dir->path() + "/rules.txt");
        QVERIFY(CertificateFactory::writeFile(m_dir->filePath("rules.txt"),
                                              "; comment:1\n\nalice@example.test:1000\nnot an "
                                              "address:2000\nbob@example.test\ncarol@example.test:"
                                              "30x\ndave@example.test: 4000\n"));
        // Read in the instance's own folder, also after the class-wide one changed.
        SettingsProvider::setConfigDir(QDir::currentPath());
        QCOMPARE(provider->getMsgSizeRules(), (QMap<QString, qint64>{{"alice@example.test", 1000},
                                                                     {"carol@example.test", 0},
                                                                     {"dave@example.test", 4000}}));
    }

    void setSslCertificate_data()
    {
        QTest::addColumn<QByteArray>("certificate");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("blocked"); // a folder in the way of this file
        QTest::addColumn<QString>("error");   // empty: stored
        const QByteArray certificate = CertificateFactory::homeBridge(0).certificatePem;
        const QByteArray key = CertificateFactory::homeBridge(0).keyPem;
        const auto row = [&](const char *name, const QByteArray &certificate, const QByteArray &key,
                             const char *blocked, const char *error) {
            QTest::newRow(name) << certificate << key << QString(blocked) << QString(error);
        };
        row("stored", certificate, key, "", "");
        row("bad certificate", "-----BEGIN CERTIFICATE-----\nAAAA\n", key, "",
            "Invalid PEM-encoded certificate");
        row("bad key", certificate, "not a key", "", "Invalid PEM-encoded RSA key");
        row("key of another certificate", certificate, CertificateFactory::homeBridge(1).keyPem, "",
            "Private key doesnt correspond to certificate");
        row("certificate file blocked", certificate, key, "homebridge.crt",
            "Failed to store certificate");
        row("key file blocked", certificate, key, "homebridge.key", "Failed to store private key");
    }
    void setSslCertificate()
    {
        QFETCH(QByteArray, certificate);
        QFETCH(QByteArray, key);
        QFETCH(QString, blocked);
        QFETCH(QString, error);
        SettingsProvider *provider = providerWith("[Main]\nkeep=1\n");
        const QString keyFile = m_dir->filePath("homebridge.key");
        QVERIFY(blocked.isEmpty() || QDir(m_dir->path()).mkdir(blocked));
        if (blocked != "homebridge.key") { // an older key file with wide permissions
            QVERIFY(CertificateFactory::writeFile(keyFile, "old"));
            QVERIFY(QFile::setPermissions(keyFile,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        }
        QCOMPARE(provider->setSSLCertificate(certificate, key), error.isEmpty());
        QCOMPARE(provider->lastError(), error);
        const QSettings written(m_dir->filePath("config.cfg"), QSettings::IniFormat);
        QCOMPARE(written.value("Main/keep").toString(), "1");
        QCOMPARE(written.value("Main/ssl_pkey").toString(),
                 error.isEmpty() ? "homebridge.key" : "");
        if (blocked != "homebridge.key") // narrowed before the new key goes in; else untouched
            QCOMPARE(fileMode(keyFile), error.isEmpty() ? 0600 : 0604);
        if (error.isEmpty()) {
            QCOMPARE(written.value("Main/ssl_cert").toString(), "homebridge.crt");
            QCOMPARE(provider->getSslPrivateKey(), QSslKey(key, QSsl::Rsa).toPem());
            QCOMPARE(provider->getSslCertificate(), QSslCertificate(certificate).toPem());
        }
    }
};

TOLVANE_TEST_MAIN(TestSettingsProvider)
#include "tst_settingsprovider.moc"
