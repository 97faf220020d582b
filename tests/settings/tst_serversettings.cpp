#include "settings/settingsprovider.h"

#include "checks.h"
#include "settings/ssldata.h"
#include "support/certificatefactory.h"
#include "support/testmain.h"

using TestSupport::CertificateFactory;
using P = SettingsProvider;
using Reader = QString (*)(SettingsProvider *);
Q_DECLARE_METATYPE(Reader)

namespace {
// An accessor's result as text.
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

QString sizeRules(SettingsProvider *provider)
{
    QStringList rules;
    const QMap<QString, qint64> map = provider->getMsgSizeRules();
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        rules << it.key() + '=' + QString::number(it.value());
    return rules.join(';');
}
} // namespace

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

    void accessorDefaults_data()
    {
        // The accessor, its section and key, its result without the key and with the value "0"
        // ("<dir>": the configuration folder). The file readers find their default files, which
        // hold their own names.
        QTest::addColumn<Reader>("read");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("absent");
        QTest::addColumn<QString>("zero");
        const auto row = [](Reader read, const char *key, const char *absent, const char *zero) {
            QTest::newRow(key) << read << QString(key) << QString(absent) << QString(zero);
        };
        row(text<&P::getRegistryServerType>, "Main/registry_server_type", "", "0");
        row(text<&P::getPMTPServerPort>, "Main/pmtp_port", "8556", "8556");
        row(text<&P::getEncryptedPOPServerPort>, "Main/pop3_port", "995", "995");
        row(text<&P::getEncryptedSMTPServerPort>, "Main/smtp_port", "465", "465");
        row(text<&P::getExternalSMTPPort>, "Main/non_auth_smtp_port", "25", "25");
        row(text<&P::getRelayServerPort>, "Main/relay_port", "17000", "17000");
        row(text<&P::getWebMailServerPort>, "Main/web_mail_port", "18000", "18000");
        row(text<&P::getWebServerPort>, "Main/webserver_port", "0", "0");
        row(text<&P::getMaxMessageSize>, "Main/max_message_size", "0", "0");
        row(sizeRules, "Main/msg_size_rules_cfg_path", "", "");
        row(text<&P::isExtEmailsPrivacy>, "Main/external_emails_privacy", "true", "false");
        row(text<&P::isUPnPEnabled>, "Main/use_upnp", "false", "false");
        row(text<&P::isWakeOnLanEnabled>, "Main/wake_on_lan", "true", "false");
        row(text<&P::getDataPath>, "Main/data_path", "<dir>/", "0");
        row(text<&P::getSslPrivateKey>, "Main/ssl_pkey", "homebridge.key", "");
        row(text<&P::getSslCertificate>, "Main/ssl_cert", "homebridge.crt", "");
        row(text<&P::getSslCACertificate>, "Main/ssl_ca_cert", "TolvaneCA.crt", "");
        row(text<&P::getUPnPRemapPorts>, "Main/upnp_remap_ports", "true", "false");
        row(proxy, "Main/proxy_host", ":0::", ":0::");
        row(text<&P::getHostname>, "Main/host", "", "0");
        row(text<&P::getExternalIp>, "Main/external_ip", "", "");
        row(text<&P::isDeliveryNotificationsEnabled>, "Main/delivery_notifications", "false",
            "false");
        row(text<&P::isSubjectUsedInWebLink>, "Main/send_subject_in_weblink", "true", "false");
        row(text<&P::getLogsKeepTime>, "Main/logs_keep_time", "14", "14");
        row(text<&P::getSpamdAddress>, "Main/spamd", "", "0");
        row(text<&P::getSpamDelete>, "Main/spam_delete", "false", "false");
        row(text<&P::getSpamMaxSize>, "Main/spam_max_size", "10485760", "10485760");
        row(text<&P::senderParallelRecipients>, "Main/parallel_recipients", "5", "5");
        row(text<&P::senderMessagesPerRecipient>, "Main/messages_per_recipient", "2", "2");
        row(text<&P::senderSmallMessagesPerRecipient>, "Main/small_messages_per_recipient", "1",
            "1");
        row(text<&P::senderThreadCount>, "Main/sender_thread_count", "3", "3");
        row(text<&P::getDbType>, "DataBase/db_type", "", "0");
        row(text<&P::getDbName>, "DataBase/db_name", "", "0");
        row(text<&P::getDbHostName>, "DataBase/db_host_name", "", "0");
        row(text<&P::getDbPassword>, "DataBase/db_password", "", "0");
        row(text<&P::getDbPort>, "DataBase/db_port", "3306", "0");
        row(text<&P::getDbUserName>, "DataBase/db_user_name", "", "0");
        row(text<&P::getStatisticStatus>, "DataBase/enable_statistics", "true", "false");
    }
    void accessorDefaults()
    {
        QFETCH(Reader, read);
        QFETCH(QString, key);
        QFETCH(QString, absent);
        QFETCH(QString, zero);
        const QString section = QStringLiteral("[%1]\n").arg(key.section('/', 0, 0));
        for (const QString &value : {QString(), key.section('/', 1) + "=0"}) {
            SettingsProvider *provider = providerWith((section + value).toUtf8());
            for (const char *name : {"homebridge.key", "homebridge.crt", "TolvaneCA.crt"})
                QVERIFY(CertificateFactory::writeFile(m_dir->filePath(name), name));
            QCOMPARE(read(provider),
                     (value.isNull() ? absent : zero).replace("<dir>", m_dir->path()));
        }
    }

    void certificateChainBytes_data()
    {
        QTest::addColumn<QList<QSslCertificate>>("chain");
        QTest::addColumn<QByteArray>("bytes"); // the intermediates, never the own certificate
        const QSslCertificate leaf = CertificateFactory::leaf().certificate;
        const QSslCertificate ca = CertificateFactory::ca().certificate;
        const QSslCertificate foreign = CertificateFactory::foreignCa().certificate;
        QTest::newRow("own certificate only") << QList<QSslCertificate>{leaf} << QByteArray();
        QTest::newRow("two intermediates")
            << QList<QSslCertificate>{leaf, ca, foreign} << ca.toPem() + foreign.toPem();
    }
    void certificateChainBytes()
    {
        QFETCH(QList<QSslCertificate>, chain);
        QFETCH(QByteArray, bytes);
        providerWith("[Main]\n");
        QVERIFY(SslData::instance()->setupCertificate(CertificateFactory::leaf().key, chain));
        QCOMPARE(SslData::instance()->getCertificateChainBytes(), bytes);
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
