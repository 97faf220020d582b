#include "settings/settingsprovider.h"

#include "log/logger.h"
#include "support/certificatefactory.h"
#include "support/logcapture.h"
#include "support/testmain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <functional>
#include <vector>

#include <sys/stat.h>

using TestSupport::CertificateFactory;
using TestSupport::LogCapture;

namespace {
const QString kNoFile = QStringLiteral("<no file>");
const QString kAbsent = QStringLiteral("<absent>");

QVariant callAccessor(SettingsProvider *provider, const QString &name)
{
    static const QMap<QString, std::function<QVariant(SettingsProvider *)>> accessors = {
        {"getRegistryServerType", [](SettingsProvider *p) { return QVariant(p->getRegistryServerType()); }},
        {"getPMTPServerPort", [](SettingsProvider *p) { return QVariant(uint(p->getPMTPServerPort())); }},
        {"getEncryptedPOPServerPort", [](SettingsProvider *p) { return QVariant(uint(p->getEncryptedPOPServerPort())); }},
        {"getEncryptedSMTPServerPort", [](SettingsProvider *p) { return QVariant(uint(p->getEncryptedSMTPServerPort())); }},
        {"getExternalSMTPPort", [](SettingsProvider *p) { return QVariant(uint(p->getExternalSMTPPort())); }},
        {"getRelayServerPort", [](SettingsProvider *p) { return QVariant(uint(p->getRelayServerPort())); }},
        {"getWebMailServerPort", [](SettingsProvider *p) { return QVariant(uint(p->getWebMailServerPort())); }},
        {"getWebServerPort", [](SettingsProvider *p) { return QVariant(uint(p->getWebServerPort())); }},
        {"getMaxMessageSize", [](SettingsProvider *p) { return QVariant(p->getMaxMessageSize()); }},
        {"isExtEmailsPrivacy", [](SettingsProvider *p) { return QVariant(p->isExtEmailsPrivacy()); }},
        {"isUPnPEnabled", [](SettingsProvider *p) { return QVariant(p->isUPnPEnabled()); }},
        {"isWakeOnLanEnabled", [](SettingsProvider *p) { return QVariant(p->isWakeOnLanEnabled()); }},
        {"getUPnPRemapPorts", [](SettingsProvider *p) { return QVariant(p->getUPnPRemapPorts()); }},
        {"getHostname", [](SettingsProvider *p) { return QVariant(p->getHostname()); }},
        {"getExternalIp", [](SettingsProvider *p) { return QVariant(p->getExternalIp()); }},
        {"isDeliveryNotificationsEnabled", [](SettingsProvider *p) { return QVariant(p->isDeliveryNotificationsEnabled()); }},
        {"isSubjectUsedInWebLink", [](SettingsProvider *p) { return QVariant(p->isSubjectUsedInWebLink()); }},
        {"getLogsKeepTime", [](SettingsProvider *p) { return QVariant(uint(p->getLogsKeepTime())); }},
        {"getSpamdAddress", [](SettingsProvider *p) { return QVariant(p->getSpamdAddress()); }},
        {"getSpamDelete", [](SettingsProvider *p) { return QVariant(p->getSpamDelete()); }},
        {"getSpamMaxSize", [](SettingsProvider *p) { return QVariant(uint(p->getSpamMaxSize())); }},
        {"senderParallelRecipients", [](SettingsProvider *p) { return QVariant(uint(p->senderParallelRecipients())); }},
        {"senderMessagesPerRecipient", [](SettingsProvider *p) { return QVariant(uint(p->senderMessagesPerRecipient())); }},
        {"senderSmallMessagesPerRecipient", [](SettingsProvider *p) { return QVariant(uint(p->senderSmallMessagesPerRecipient())); }},
        {"senderThreadCount", [](SettingsProvider *p) { return QVariant(uint(p->senderThreadCount())); }},
        {"getDbType", [](SettingsProvider *p) { return QVariant(p->getDbType()); }},
        {"getDbName", [](SettingsProvider *p) { return QVariant(p->getDbName()); }},
        {"getDbHostName", [](SettingsProvider *p) { return QVariant(p->getDbHostName()); }},
        {"getDbPassword", [](SettingsProvider *p) { return QVariant(p->getDbPassword()); }},
        {"getDbPort", [](SettingsProvider *p) { return QVariant(uint(p->getDbPort())); }},
        {"getDbUserName", [](SettingsProvider *p) { return QVariant(p->getDbUserName()); }},
        {"getStatisticStatus", [](SettingsProvider *p) { return QVariant(p->getStatisticStatus()); }},
        {"getDataPath", [](SettingsProvider *p) { return QVariant(p->getDataPath()); }},
    };
    const auto accessor = accessors.value(name);
    return accessor ? accessor(provider) : QVariant();
}
} // namespace

class TestSettingsProvider : public QObject
{
    Q_OBJECT

private:
    // A fresh configuration folder with the given "config.cfg" text (none for kNoFile) and a
    // provider that has read it.
    SettingsProvider *providerWith(const QString &configText)
    {
        m_dir = std::make_unique<QTemporaryDir>();
        if (configText != kNoFile) {
            if (!CertificateFactory::writeFile(m_dir->filePath(QStringLiteral("config.cfg")),
                                               configText.toUtf8()))
                return nullptr;
        }
        SettingsProvider::setConfigDir(m_dir->path());
        SettingsProvider::drop();
        return SettingsProvider::instance();
    }

    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        Log::Logger("SettingsProvider").setLevel(Log::DEBUG);
    }

    void cleanupTestCase()
    {
        SettingsProvider::drop();
    }

    void registryValues_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("certFile");
        QTest::addColumn<bool>("fromFile");

        const QString defaultHost = QString::fromLatin1(SettingsProvider::kDefaultRegistryHost);
        QTest::newRow("all three")
            << "[Main]\nregistry_host=127.0.0.2\nregistry_port=8443\nregistry_cert_file=ca.pem\n"
            << "127.0.0.2" << 8443 << "ca.pem" << true;
        QTest::newRow("host and port without certificate file keeps every default")
            << "[Main]\nregistry_host=127.0.0.2\nregistry_port=8443\n" << defaultHost << 443
            << "" << false;
        QTest::newRow("host and certificate file without port")
            << "[Main]\nregistry_host=127.0.0.2\nregistry_cert_file=/x/ca.pem\n" << defaultHost
            << 443 << "" << false;
        QTest::newRow("port and certificate file without host")
            << "[Main]\nregistry_port=8443\nregistry_cert_file=/x/ca.pem\n" << defaultHost << 443
            << "" << false;
        QTest::newRow("empty certificate file counts as present")
            << "[Main]\nregistry_host=127.0.0.3\nregistry_port=9000\nregistry_cert_file=\n"
            << "127.0.0.3" << 9000 << "" << true;
        QTest::newRow("port above 65535 keeps its low 16 bits")
            << "[Main]\nregistry_host=127.0.0.2\nregistry_port=70000\nregistry_cert_file=a\n"
            << "127.0.0.2" << (70000 % 65536) << "a" << true;
        QTest::newRow("port that is not a number is 0")
            << "[Main]\nregistry_host=127.0.0.2\nregistry_port=https\nregistry_cert_file=a\n"
            << "127.0.0.2" << 0 << "a" << true;
        QTest::newRow("keys outside any section are not seen")
            << "registry_host=127.0.0.2\nregistry_port=8443\nregistry_cert_file=a\n"
            << defaultHost << 443 << "" << false;
        QTest::newRow("keys in another section are not seen")
            << "[Other]\nregistry_host=127.0.0.2\nregistry_port=8443\nregistry_cert_file=a\n"
            << defaultHost << 443 << "" << false;
        QTest::newRow("empty file") << "" << defaultHost << 443 << "" << false;
        QTest::newRow("no file") << kNoFile << defaultHost << 443 << "" << false;
        QTest::newRow("not an INI file")
            << QString::fromLatin1("\x01\x02garbage\n[[[\n=\n") << defaultHost << 443 << ""
            << false;
    }

    void registryValues()
    {
        QFETCH(QString, config);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, certFile);
        QFETCH(bool, fromFile);

        LogCapture log;
        SettingsProvider *provider = providerWith(config);
        QVERIFY(provider);
        QCOMPARE(provider->getRegistryHost(), host);
        QCOMPARE(int(provider->getRegistryPort()), port);
        QCOMPARE(provider->getRegistryCertFile(), certFile);
        QCOMPARE(log.count(QStringLiteral("Reading registry settings from config file")),
                 fromFile ? 1 : 0);
        QCOMPARE(log.count(QStringLiteral("There is no registry settings in config file using default")),
                 fromFile ? 0 : 1);
    }

    void registryValuesAreReadOnce()
    {
        SettingsProvider *provider = providerWith(
            "[Main]\nregistry_host=127.0.0.2\nregistry_port=8443\nregistry_cert_file=a\n");
        QVERIFY(provider);
        QVERIFY(CertificateFactory::writeFile(m_dir->filePath(QStringLiteral("config.cfg")),
                                              "[Main]\nregistry_host=127.0.0.9\n"
                                              "registry_port=1\nregistry_cert_file=b\n"));
        QTemporaryDir other;
        SettingsProvider::setConfigDir(other.path());
        QCOMPARE(SettingsProvider::instance(), provider);
        QCOMPARE(provider->getRegistryHost(), QStringLiteral("127.0.0.2"));
        QCOMPARE(int(provider->getRegistryPort()), 8443);
        QCOMPARE(provider->getRegistryCertFile(), QStringLiteral("a"));
    }

    void setConfigDirLogs()
    {
        LogCapture log;
        SettingsProvider::setConfigDir(QStringLiteral("/some/where"));
        QCOMPARE(SettingsProvider::configDir(), QStringLiteral("/some/where"));
        QCOMPARE(log.count(QStringLiteral("Config dir: \"/some/where\"")), 1);
    }

    void instanceBeforeConfigDirUsesExecutableDir()
    {
        SettingsProvider::drop();
        SettingsProvider::setConfigDir(QString());
        LogCapture log;
        SettingsProvider *provider = SettingsProvider::instance();
        QVERIFY(provider);
        QCOMPARE(SettingsProvider::configDir(), QCoreApplication::applicationDirPath());
        QCOMPARE(provider->getDataPath(), QCoreApplication::applicationDirPath() + "/");
        QVERIFY(log.contains(QStringLiteral("config dir was set")));
        // The creation lock was released: another round works.
        SettingsProvider::drop();
        QVERIFY(SettingsProvider::instance());
    }

    void concurrentFirstCallsMakeOneInstance()
    {
        QTemporaryDir dir;
        SettingsProvider::setConfigDir(dir.path());
        for (int round = 0; round < 20; ++round) {
            SettingsProvider::drop();
            LogCapture log;
            std::vector<SettingsProvider *> seen(8, nullptr);
            std::vector<std::unique_ptr<QThread>> threads;
            for (size_t i = 0; i < seen.size(); ++i) {
                threads.emplace_back(QThread::create(
                    [&seen, i] { seen[i] = SettingsProvider::instance(); }));
            }
            for (auto &thread : threads)
                thread->start();
            for (auto &thread : threads)
                QVERIFY(thread->wait(60000));
            for (SettingsProvider *provider : seen)
                QCOMPARE(provider, SettingsProvider::instance());
            QCOMPARE(log.count(QStringLiteral("There is no registry settings")), 1);
        }
    }

    void accessors_data()
    {
        QTest::addColumn<QString>("accessor");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QVariant>("expected");

        struct Numeric {
            const char *accessor;
            const char *section;
            const char *key;
            uint defaultValue;
            bool zeroGivesDefault;
        };
        const Numeric numbers[] = {
            {"getPMTPServerPort", "Main", "pmtp_port", 8556, true},
            {"getEncryptedPOPServerPort", "Main", "pop3_port", 995, true},
            {"getEncryptedSMTPServerPort", "Main", "smtp_port", 465, true},
            {"getExternalSMTPPort", "Main", "non_auth_smtp_port", 25, true},
            {"getRelayServerPort", "Main", "relay_port", 17000, true},
            {"getWebMailServerPort", "Main", "web_mail_port", 18000, true},
            {"getWebServerPort", "Main", "webserver_port", 0, false},
            {"getLogsKeepTime", "Main", "logs_keep_time", 14, true},
            {"getSpamMaxSize", "Main", "spam_max_size", 10485760, true},
            {"senderParallelRecipients", "Main", "parallel_recipients", 5, true},
            {"senderMessagesPerRecipient", "Main", "messages_per_recipient", 2, true},
            {"senderSmallMessagesPerRecipient", "Main", "small_messages_per_recipient", 1, true},
            {"senderThreadCount", "Main", "sender_thread_count", 3, true},
            {"getDbPort", "DataBase", "db_port", 3306, false},
        };
        for (const Numeric &n : numbers) {
            QTest::addRow("%s absent", n.accessor)
                << n.accessor << n.section << n.key << kAbsent << QVariant(n.defaultValue);
            QTest::addRow("%s zero", n.accessor) << n.accessor << n.section << n.key << "0"
                                                 << QVariant(n.zeroGivesDefault ? n.defaultValue : 0u);
            QTest::addRow("%s set", n.accessor)
                << n.accessor << n.section << n.key << "4321" << QVariant(4321u);
            QTest::addRow("%s in wrong section", n.accessor)
                << n.accessor << (QByteArray(n.section) == "Main" ? "DataBase" : "Main") << n.key
                << "4321" << QVariant(n.defaultValue);
        }
        QTest::newRow("getMaxMessageSize absent")
            << "getMaxMessageSize" << "Main" << "max_message_size" << kAbsent << QVariant(qint64(0));
        QTest::newRow("getMaxMessageSize large")
            << "getMaxMessageSize" << "Main" << "max_message_size" << "5000000000"
            << QVariant(qint64(5000000000LL));

        struct Flag {
            const char *accessor;
            const char *section;
            const char *key;
            bool defaultValue;
        };
        const Flag flags[] = {
            {"isExtEmailsPrivacy", "Main", "external_emails_privacy", true},
            {"isUPnPEnabled", "Main", "use_upnp", false},
            {"isWakeOnLanEnabled", "Main", "wake_on_lan", true},
            {"getUPnPRemapPorts", "Main", "upnp_remap_ports", true},
            {"isDeliveryNotificationsEnabled", "Main", "delivery_notifications", false},
            {"isSubjectUsedInWebLink", "Main", "send_subject_in_weblink", true},
            {"getSpamDelete", "Main", "spam_delete", false},
            {"getStatisticStatus", "DataBase", "enable_statistics", true},
        };
        for (const Flag &f : flags) {
            QTest::addRow("%s absent", f.accessor)
                << f.accessor << f.section << f.key << kAbsent << QVariant(f.defaultValue);
            QTest::addRow("%s true", f.accessor)
                << f.accessor << f.section << f.key << "true" << QVariant(true);
            QTest::addRow("%s false", f.accessor)
                << f.accessor << f.section << f.key << "false" << QVariant(false);
        }

        struct Text {
            const char *accessor;
            const char *section;
            const char *key;
        };
        const Text texts[] = {
            {"getRegistryServerType", "Main", "registry_server_type"},
            {"getHostname", "Main", "host"},
            {"getSpamdAddress", "Main", "spamd"},
            {"getDbType", "DataBase", "db_type"},
            {"getDbName", "DataBase", "db_name"},
            {"getDbHostName", "DataBase", "db_host_name"},
            {"getDbPassword", "DataBase", "db_password"},
            {"getDbUserName", "DataBase", "db_user_name"},
        };
        for (const Text &t : texts) {
            QTest::addRow("%s absent", t.accessor)
                << t.accessor << t.section << t.key << kAbsent << QVariant(QString());
            QTest::addRow("%s set", t.accessor)
                << t.accessor << t.section << t.key << "value-1" << QVariant(QStringLiteral("value-1"));
        }

        const struct {
            const char *name;
            const char *stored;
            const char *expected;
        } addresses[] = {
            {"plain", "127.0.0.2", "127.0.0.2"},
            {"edges", "0.0.0.255", "0.0.0.255"},
            {"above 255", "127.0.0.256", ""},
            {"leading zero", "127.0.0.01", ""},
            {"three parts", "127.0.1", ""},
            {"name", "localhost", ""},
            {"trailing text", "127.0.0.2x", ""},
        };
        for (const auto &a : addresses) {
            QTest::addRow("getExternalIp %s", a.name) << "getExternalIp" << "Main" << "external_ip"
                                                      << a.stored << QVariant(QString::fromLatin1(a.expected));
        }
    }

    void accessors()
    {
        QFETCH(QString, accessor);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QVariant, expected);

        QString config = QStringLiteral("[%1]\nunrelated=1\n").arg(section);
        if (stored != kAbsent)
            config += QStringLiteral("%1=%2\n").arg(key, stored);
        SettingsProvider *provider = providerWith(config);
        QVERIFY(provider);
        const QVariant actual = callAccessor(provider, accessor);
        QVERIFY2(actual.isValid(), qPrintable(accessor));
        QCOMPARE(actual, expected);
    }

    void dataPath_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("expected"); // "<config>" stands for the configuration path
        QTest::newRow("absent") << "[Main]\n" << "<config>";
        QTest::newRow("empty") << "[Main]\ndata_path=\n" << "<config>";
        QTest::newRow("set") << "[Main]\ndata_path=/var/data\n" << "/var/data";
    }

    void dataPath()
    {
        QFETCH(QString, config);
        QFETCH(QString, expected);
        SettingsProvider *provider = providerWith(config);
        QVERIFY(provider);
        if (expected == QLatin1String("<config>"))
            expected = m_dir->path() + QLatin1Char('/');
        QCOMPARE(provider->getDataPath(), expected);
    }

    void proxySettings_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("none") << "[Main]\n" << "" << 0 << "" << "";
        QTest::newRow("all") << "[Main]\nproxy_host=127.0.0.2\nproxy_port=3128\nproxy_user=u\n"
                                "proxy_password=p\n"
                             << "127.0.0.2" << 3128 << "u" << "p";
        QTest::newRow("host without port") << "[Main]\nproxy_host=127.0.0.2\nproxy_user=u\n"
                                              "proxy_password=p\n"
                                           << "" << 0 << "u" << "p";
        QTest::newRow("user without password")
            << "[Main]\nproxy_host=127.0.0.2\nproxy_port=3128\nproxy_user=u\n" << "127.0.0.2"
            << 3128 << "" << "";
    }

    void proxySettings()
    {
        QFETCH(QString, config);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, user);
        QFETCH(QString, password);
        SettingsProvider *provider = providerWith(config);
        QVERIFY(provider);
        const ProxySettings proxy = provider->getProxySettings();
        QCOMPARE(proxy.host, host);
        QCOMPARE(int(proxy.port), port);
        QCOMPARE(proxy.user, user);
        QCOMPARE(proxy.password, password);
    }

    void fileReaders_data()
    {
        QTest::addColumn<QString>("accessor");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("defaultName");
        QTest::newRow("key") << "getSslPrivateKey" << "ssl_pkey" << "homebridge.key";
        QTest::newRow("certificate") << "getSslCertificate" << "ssl_cert" << "homebridge.crt";
        QTest::newRow("ca") << "getSslCACertificate" << "ssl_ca_cert" << "TolvaneCA.crt";
    }

    void fileReaders()
    {
        QFETCH(QString, accessor);
        QFETCH(QString, key);
        QFETCH(QString, defaultName);
        const auto read = [&accessor](SettingsProvider *provider) {
            if (accessor == QLatin1String("getSslPrivateKey"))
                return provider->getSslPrivateKey();
            if (accessor == QLatin1String("getSslCertificate"))
                return provider->getSslCertificate();
            return provider->getSslCACertificate();
        };

        // Absent key: the default file name in the configuration folder; missing file.
        SettingsProvider *provider = providerWith(QStringLiteral("[Main]\n"));
        QVERIFY(provider);
        QVERIFY(read(provider).isEmpty());
        QCOMPARE(provider->lastError(),
                 QStringLiteral("Cannot open file %1/%2").arg(m_dir->path(), defaultName));
        QVERIFY(CertificateFactory::writeFile(m_dir->filePath(defaultName), "default contents"));
        QCOMPARE(read(provider), QByteArray("default contents"));

        // A relative name resolves against the configuration folder.
        provider = providerWith(QStringLiteral("[Main]\n%1=sub/file.pem\n").arg(key));
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("sub")));
        QVERIFY(CertificateFactory::writeFile(m_dir->filePath(QStringLiteral("sub/file.pem")),
                                              "relative"));
        QCOMPARE(read(provider), QByteArray("relative"));

        // An absolute name is used as it is; at most 1,024,000 bytes are read.
        QTemporaryDir elsewhere;
        const QString absolute = elsewhere.filePath(QStringLiteral("big.bin"));
        QVERIFY(CertificateFactory::writeFile(absolute, QByteArray(1024000 + 5000, 'x')));
        provider = providerWith(QStringLiteral("[Main]\n%1=%2\n").arg(key, absolute));
        QCOMPARE(read(provider).size(), 1024000);
    }

    void msgSizeRules()
    {
        SettingsProvider *provider =
            providerWith(QStringLiteral("[Main]\nmsg_size_rules_cfg_path=rules.txt\n"));
        QVERIFY(provider);
        QVERIFY(provider->getMsgSizeRules().isEmpty());
        QVERIFY(provider->lastError().startsWith(QStringLiteral("Cannot open file ")));
        QVERIFY(CertificateFactory::writeFile(m_dir->filePath(QStringLiteral("rules.txt")),
                                              "; comment:1\n"
                                              "\n"
                                              "alice@example.test:1000\n"
                                              "not an address:2000\n"
                                              "bob@example.test\n"
                                              "carol@example.test:30x\n"
                                              "dave@example.test: 4000\n"));
        QMap<QString, qint64> expected;
        expected.insert(QStringLiteral("alice@example.test"), 1000);
        expected.insert(QStringLiteral("carol@example.test"), 0);
        expected.insert(QStringLiteral("dave@example.test"), 4000);
        QCOMPARE(provider->getMsgSizeRules(), expected);

        // The instance keeps its own folder when the class-wide one changes later.
        QTemporaryDir other;
        QVERIFY(CertificateFactory::writeFile(QDir(other.path()).filePath(QStringLiteral("rules.txt")),
                                              "erin@example.test:7\n"));
        SettingsProvider::setConfigDir(other.path());
        QCOMPARE(provider->getMsgSizeRules(), expected);
    }

    void setSslCertificateStoresFiles()
    {
        const auto &identity = CertificateFactory::homeBridge();
        QVERIFY(!identity.isNull());
        SettingsProvider *provider = providerWith(QStringLiteral("[Main]\nkeep=1\n"));
        QVERIFY(provider);
        // A key file left with wide permissions is narrowed before it is rewritten.
        const QString keyPath = m_dir->filePath(QStringLiteral("homebridge.key"));
        QVERIFY(CertificateFactory::writeFile(keyPath, "old"));
        QVERIFY(QFile::setPermissions(keyPath, QFile::ReadOwner | QFile::WriteOwner
                                                   | QFile::ReadGroup | QFile::ReadOther));

        QVERIFY(provider->setSSLCertificate(identity.certificatePem, identity.keyPem));
        QVERIFY(provider->lastError().isEmpty());

        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(keyPath).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 0777), 0600);
        QCOMPARE(QSslKey(provider->getSslPrivateKey(), QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey),
                 identity.key);
        QCOMPARE(QSslCertificate(provider->getSslCertificate(), QSsl::Pem), identity.certificate);

        QSettings written(m_dir->filePath(QStringLiteral("config.cfg")), QSettings::IniFormat);
        QCOMPARE(written.value(QStringLiteral("Main/ssl_cert")).toString(),
                 QStringLiteral("homebridge.crt"));
        QCOMPARE(written.value(QStringLiteral("Main/ssl_pkey")).toString(),
                 QStringLiteral("homebridge.key"));
        QCOMPARE(written.value(QStringLiteral("Main/keep")).toString(), QStringLiteral("1"));
    }

    void setSslCertificateRejects_data()
    {
        QTest::addColumn<QByteArray>("certificate");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("error");
        const auto &one = CertificateFactory::homeBridge(0);
        const auto &two = CertificateFactory::homeBridge(1);
        QTest::newRow("bad certificate") << QByteArray("-----BEGIN CERTIFICATE-----\nAAAA\n")
                                         << one.keyPem << "Invalid PEM-encoded certificate";
        QTest::newRow("bad key") << one.certificatePem << QByteArray("not a key")
                                 << "Invalid PEM-encoded RSA key";
        QTest::newRow("key of another certificate")
            << one.certificatePem << two.keyPem << "Private key doesnt correspond to certificate";
    }

    void setSslCertificateRejects()
    {
        QFETCH(QByteArray, certificate);
        QFETCH(QByteArray, key);
        QFETCH(QString, error);
        SettingsProvider *provider = providerWith(QStringLiteral("[Main]\n"));
        QVERIFY(provider);
        QVERIFY(!provider->setSSLCertificate(certificate, key));
        QCOMPARE(provider->lastError(), error);
        QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("homebridge.crt"))));
        QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("homebridge.key"))));
        QSettings written(m_dir->filePath(QStringLiteral("config.cfg")), QSettings::IniFormat);
        QVERIFY(!written.contains(QStringLiteral("Main/ssl_cert")));
    }

    void setSslCertificateWriteFailures()
    {
        const auto &identity = CertificateFactory::homeBridge();
        SettingsProvider *provider = providerWith(QStringLiteral("[Main]\n"));
        QVERIFY(provider);
        // A directory where a file should go cannot be written, even by root.
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("homebridge.key")));
        QVERIFY(!provider->setSSLCertificate(identity.certificatePem, identity.keyPem));
        QCOMPARE(provider->lastError(), QStringLiteral("Failed to store private key"));

        provider = providerWith(QStringLiteral("[Main]\n"));
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("homebridge.crt")));
        QVERIFY(!provider->setSSLCertificate(identity.certificatePem, identity.keyPem));
        QCOMPARE(provider->lastError(), QStringLiteral("Failed to store certificate"));
        QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("homebridge.key"))));
    }
};

TOLVANE_TEST_MAIN(TestSettingsProvider)
#include "tst_settingsprovider.moc"
