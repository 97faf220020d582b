#include "settings/applicationsettings.h"

#include "checks.h"
#include "core/sysinfotool.h"
#include "log/logger.h"
#include "settings/qsimplecipher.h"
#include "support/logcapture.h"
#include "support/testmain.h"

#include <csignal>
#include <sys/fsuid.h>
#include <sys/resource.h>

using Operation = void (*)(const QString &accountName);
Q_DECLARE_METATYPE(Operation)

namespace {

ApplicationSettings *settings()
{
    return ApplicationSettings::instance();
}

QByteArray json(const char *text) // with ' for "
{
    return QByteArray(text).replace('\'', '"');
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

// The accounts, a line each, then the LAN, Internet, relay and auto-start switches.
QString describe()
{
    QString text;
    for (const AccountDetails &a : settings()->data()) {
        text += QStringLiteral("%1|%2|%3|%4|%5|%6|%7\n")
                    .arg(a.m_accountName, a.m_login, a.m_password)
                    .arg(a.m_localPop3Port)
                    .arg(a.m_localSmtpPort)
                    .arg(a.m_showNotifications)
                    .arg(a.m_showDisconnectedWidget);
    }
    for (const bool on : {settings()->isLanEnabled(), settings()->isInternetEnabled(),
                          settings()->isRelayEnabled(), settings()->isAutoStartSet()})
        text += QString::number(on);
    return text;
}

// Runs the step with the file rights of an unprivileged user when the test runs as root, every
// folder above the given one passable for it.
template <typename Step> void asNobody(const QString &folder, Step step)
{
    const QString top = TestSupport::TestEnvironment::current()->root();
    for (QString dir = QFileInfo(folder).path(); dir.startsWith(top); dir = QFileInfo(dir).path())
        QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeGroup | QFile::ExeOther);
    const bool root = ::geteuid() == 0;
    if (root)
        ::setfsuid(65534);
    step();
    if (root)
        ::setfsuid(0);
}

} // namespace

class TestApplicationSettings : public QObject
{
    Q_OBJECT

    void load() { settings()->getConfigData(m_folder, m_file); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder;
    QString m_file;
    QString m_legacy; // the native settings of the older versions

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("Tolvane");
        QCoreApplication::setApplicationName("TolvaneMailConnect");
        Log::Logger("ApplicationSettings").setLevel(Log::ALL);
        m_legacy = QStandardPaths::writableLocation(QStandardPaths::DataLocation) +
                   "/Tolvane/TolvaneMailConnect.conf";
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_folder = m_dir->path() + "/Tolvane/TolvaneMailConnect/";
        m_file = m_folder + "config.json";
    }
    void cleanup()
    {
        ApplicationSettings::drop();
        QFile::remove(m_legacy);
    }

    void loads_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("loaded");
        QTest::addColumn<QString>("password"); // of the first account
        const auto row = [](const char *name, const char *file, const char *loaded,
                            const char *password) {
            QTest::newRow(name) << json(file) << QString(loaded) << QString(password);
        };
        row("complete",
            "{'Accounts':[{'account_name':'w','login':'ann@example.com','password':"
            "'gfjwRX/W6O+QEL66oFL0ZQ==','pop3_port':1110,'smtp_port':1025,'show_notifications':"
            "true,'show_disconnected_widget':false}],'Connection_Type':{'lan':true,'internet':"
            "false,'relay':true},'General_Settings':{'AutoStart':false}}",
            "w|ann@example.com|gfjwRX/W6O+QEL66oFL0ZQ==|1110|1025|1|0\n1010", "secret");
        // The first password: older versions enciphered the Latin-1 bytes.
        row("members missing, of other types, or null",
            "{'Accounts':[{'password':'C59giVYXmT93MawoXFElYA=='},{'account_name':5,'login':true,"
            "'password':[1],'pop3_port':'110','smtp_port':{},'show_notifications':'true',"
            "'show_disconnected_widget':1},{'account_name':'a','login':'J.Smith','pop3_port':"
            "995.9,'smtp_port':-3.7},{'login':'b@b.c','pop3_port':1e12,'smtp_port':-1e12},7],"
            "'Connection_Type':null,'General_Settings':null}",
            "|@tolvane.com|C59giVYXmT93MawoXFElYA==|0|0|0|1\n|@tolvane.com||0|0|0|0\n"
            "a|J.Smith@tolvane.com||995|-3|0|1\n|b@b.c||0|0|0|1\n|@tolvane.com||0|0|0|1\n1111",
            "pässwörd");
        row("switches missing or of other types",
            "{'Connection_Type':{'lan':'yes','relay':true},'General_Settings':[true]}", "0010", "");
        row("switch objects missing, accounts no array", "{'Accounts':{'account_name':'x'}}",
            "0000", "");
        row("root is an array", "[{'Accounts':[{'account_name':'x'}]}]", "0000", "");
    }
    void loads()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, loaded);
        QFETCH(QString, password);
        QVERIFY(writeFile(m_file, file));
        load();
        QCOMPARE(describe(), loaded);
        QCOMPARE(settings()->getPassword(settings()->data().value(0).m_accountName), password);
        QCOMPARE(settings()->configFilePath(), m_folder);
        QCOMPARE(readFile(m_file), file); // loading alone never rewrites the file
    }

    void damagedFileIsKept_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<int>("folderMode");
        QTest::newRow("garbage") << QByteArray("this is not json") << 0644 << 0777;
        QTest::newRow("cut short") << json("{'Accounts':[{'account_name':'w','lo") << 0644 << 0777;
        QTest::newRow("empty") << QByteArray() << 0644 << 0777;
        QTest::newRow("unreadable") << json("{'Accounts':[]}") << 0 << 0777;
        QTest::newRow("cannot be moved") << QByteArray("{ damaged") << 0644 << 0555;
    }
    void damagedFileIsKept()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, fileMode);
        QFETCH(int, folderMode);
        QVERIFY(writeFile(m_file, content));
        QVERIFY(::chmod(QFile::encodeName(m_file), mode_t(fileMode)) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_folder), mode_t(folderMode)) == 0);
        asNobody(m_folder, [this] { load(); });
        QVERIFY(::chmod(QFile::encodeName(m_folder), 0755) == 0);
        QCOMPARE(describe(), "1111");
        settings()->saveAccountData({"new", "new@x.y", "pw"});
        const QStringList aside = QDir(m_folder).entryList({"config.json.*.damaged"});
        if (folderMode == 0555) { // this run never replaces it
            QVERIFY(aside.isEmpty() && !settings()->saveSettings());
            QCOMPARE(readFile(m_file), content);
        } else { // moved aside, a new file beside it
            QCOMPARE(aside.size(), 1);
            QVERIFY(QFile::setPermissions(m_folder + aside[0], QFile::ReadOwner));
            QCOMPARE(readFile(m_folder + aside[0]), content);
            QVERIFY(readFile(m_file).contains("\"new\""));
        }
    }

    void savesWholeFile()
    {
        QVERIFY(!settings()->saveSettings()); // nowhere to save before loading
        QVERIFY(writeFile(m_file, "{}"));     // from an older version, with wider permissions
        QVERIFY(::chmod(QFile::encodeName(m_file), 0644) == 0);
        load();
        settings()->saveAccountData(
            {"work", "ann@example.com", "secret", 1110, 65535, true, false});
        settings()->setInternetEnabled(true);
        settings()->setAutoStart(false);
        QCOMPARE(fileMode(m_file), 0600);
        QCOMPARE(readFile(m_file), "{\n"
                                   "    \"Accounts\": [\n"
                                   "        {\n"
                                   "            \"account_name\": \"work\",\n"
                                   "            \"login\": \"ann@example.com\",\n"
                                   "            \"password\": \"gfjwRX/W6O+QEL66oFL0ZQ==\",\n"
                                   "            \"pop3_port\": 1110,\n"
                                   "            \"show_disconnected_widget\": false,\n"
                                   "            \"show_notifications\": true,\n"
                                   "            \"smtp_port\": 65535\n"
                                   "        }\n"
                                   "    ],\n"
                                   "    \"Connection_Type\": {\n"
                                   "        \"internet\": true,\n"
                                   "        \"lan\": false,\n"
                                   "        \"relay\": false\n"
                                   "    },\n"
                                   "    \"General_Settings\": {\n"
                                   "        \"AutoStart\": false\n"
                                   "    }\n"
                                   "}\n");
        const QString before = describe(); // a second store reads back what the first held
        ApplicationSettings::drop();
        load();
        QCOMPARE(describe(), before);
        settings()->deleteAccountInfo("work");
        QVERIFY(readFile(m_file).startsWith("{\n    \"Accounts\": [\n    ],\n"));
    }

    void failedSaveKeepsOldFile()
    {
        load();
        settings()->saveAccountData({"work", "ann@example.com", "secret"});
        const QByteArray before = readFile(m_file);
        // A disk that fills up while the file is written: writes beyond 64 bytes fail.
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit previous = {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
        struct rlimit small = previous;
        small.rlim_cur = 64;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        settings()->setLocalPOP3Port("work", 4444);
        const bool saved = settings()->saveSettings();
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, handler);
        QVERIFY(!saved);
        QCOMPARE(readFile(m_file), before);
        QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{"config.json"});
        QVERIFY(settings()->saveSettings()); // the change waited in memory
        QVERIFY(readFile(m_file).contains("4444"));
    }

    void accountOperations_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<bool>("savesWhenUnknown");
        const auto row = [](const char *name, Operation operation, bool savesWhenUnknown) {
            QTest::newRow(name) << operation << savesWhenUnknown;
        };
        row(
            "setAccountName", [](const QString &n) { settings()->setAccountName(n, "new"); }, true);
        row(
            "setLocalPOP3Port", [](const QString &n) { settings()->setLocalPOP3Port(n, 7); }, true);
        row(
            "setLocalSMTPPort", [](const QString &n) { settings()->setLocalSMTPPort(n, 7); }, true);
        row(
            "setShowNotificationsBox",
            [](const QString &n) { settings()->setShowNotificationsBox(n, true); }, true);
        row(
            "setShowDisconnectedWidget",
            [](const QString &n) { settings()->setShowDisconnectedWidget(n, false); }, true);
        row(
            "deleteAccountInfo", [](const QString &n) { settings()->deleteAccountInfo(n); }, true);
        row(
            "setUsername", [](const QString &n) { settings()->setUsername(n, "new@x.y"); }, false);
        row(
            "setPassword", [](const QString &n) { settings()->setPassword(n, "new"); }, false);
    }
    void accountOperations()
    {
        QFETCH(Operation, operation);
        QFETCH(bool, savesWhenUnknown);
        load();
        settings()->saveAccountData({"dup", "one@x.y", "1"});
        settings()->saveAccountData({"dup", "two@x.y", "2", 3, 4});
        const QList<AccountDetails> before = settings()->data();
        const QByteArray file = readFile(m_file);
        QVERIFY(QFile::remove(m_file));
        operation("DUP"); // names compare exactly: no such account
        QVERIFY(settings()->data() == before);
        QCOMPARE(readFile(m_file), savesWhenUnknown ? file : QByteArray());
        QCOMPARE(settings()->userName("DUP") + settings()->getPassword("DUP"), QString());
        QCOMPARE(settings()->localPOP3Port("DUP") + settings()->localSMTPPort("DUP"), 0);
        operation("dup"); // of two accounts of one name, the first changes; that is saved
        QVERIFY(settings()->data().first() != before.first());
        QVERIFY(settings()->data().last() == before.last());
        QVERIFY(!readFile(m_file).isEmpty() && readFile(m_file) != file);
    }

    void setUsernameNormalises_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("stored");
        const auto row = [](const char *login, const char *stored) {
            QTest::newRow(login) << QString(login) << QString(stored);
        };
        row("John.Q.Smith", "johnqsmith@tolvane.com");
        row("  John.Smith@Mail.Example.COM ", "johnsmith@mail.example.com");
        row("ann  lee @ Ex  Ample.org", "ann lee@ex ample.org");
        row("A.b@c@D.e", "ab@d.e"); // the first @ ends the local part, the last starts the domain
        row("", "@tolvane.com");
    }
    void setUsernameNormalises()
    {
        QFETCH(QString, login);
        QFETCH(QString, stored);
        load();
        settings()->saveAccountData({"acc", "old@x.y", "pw"});
        settings()->setUsername("acc", login);
        QCOMPARE(settings()->userName("acc"), stored);
    }

    void passwords_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("stored"); // Base64 of the cipher text, when known
        const auto row = [](const char *password, const char *stored) {
            QTest::newRow(password) << QString(password) << QString(stored);
        };
        row("secret", "gfjwRX/W6O+QEL66oFL0ZQ==");
        row("", "DdQT6+dqcdnq07y5PbudFA==");
        row("pässwörd", "");
        row("пароль", "");
        row("key🔑", "");
    }
    void passwords()
    {
        QFETCH(QString, password);
        QFETCH(QString, stored);
        load();
        TestSupport::LogCapture log;
        settings()->saveAccountData({"acc", "a@x.y", password});
        QVERIFY(stored.isEmpty() || settings()->data().first().m_password == stored);
        QCOMPARE(settings()->getPassword("acc"), password);
        settings()->setPassword("acc", password + "2");
        ApplicationSettings::drop();
        load();
        QCOMPARE(settings()->getPassword("acc"), password + "2");
        // Every entry point logged its signature, none a password in any form.
        QVERIFY(log.contains("setPassword"));
        for (const QString &secret : {password, password + "2", settings()->data()[0].m_password})
            QVERIFY(secret.size() < 4 || !log.contains(secret));
    }

    void migration_data()
    {
        QTest::addColumn<QVariantMap>("legacy");
        QTest::addColumn<QString>("migrated");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("blocked"); // a plain file where the settings folder goes
        const QVariantMap all{{"login", "J.Smith@Example.com"},
                              {"password", "legacy-pass"},
                              {"pop3", 1110},
                              {"smtp", 1025},
                              {"show_notifications", false},
                              {"show_disconnected_widget", false},
                              {"lan", false},
                              {"internet", true},
                              {"relay", false},
                              {"AutoStart", false}};
        const QString migrated =
            "J.Smith|J.Smith@Example.com|C0tLgfy3T8XzE470IdSJSg==|1110|1025|0|0\n0100";
        const QString empty = "|DdQT6+dqcdnq07y5PbudFA==|110|25|1|1\n1111";
        QTest::newRow("all values") << all << migrated << QString("legacy-pass") << false;
        QTest::newRow("folder blocked") << all << migrated << QString("legacy-pass") << true;
        QTest::newRow("defaults") << QVariantMap{{"login", "plain@x.y"}}
                                  << "plain|plain@x.y" + empty << QString() << false;
        QTest::newRow("other hardware") << QVariantMap{{"login", "ann@x.y"}, {"password", "other"}}
                                        << "ann|ann@x.y" + empty << QString() << false;
    }
    void migration()
    {
        QFETCH(QVariantMap, legacy);
        QFETCH(QString, migrated);
        QFETCH(QString, password);
        QFETCH(bool, blocked);
        {
            // Passwords as the older versions stored them: bound to this computer's hardware
            // identifier, or to another computer's for the text "other".
            QSettings native(m_legacy, QSettings::NativeFormat);
            for (auto it = legacy.cbegin(); it != legacy.cend(); ++it) {
                const QByteArray text = it.value().toByteArray();
                QSimpleCipher cipher(
                    QSimpleCipher::kAes256, QSimpleCipher::kCbc, "4rt8,.27mkdj39d81",
                    text == "other" ? QByteArray(32, 'a') : SysInfoTool::hardwareUid().toLatin1());
                native.setValue(it.key(), it.key() == "password" ? cipher.encrypt(text).toBase64()
                                                                 : it.value());
            }
        }
        const QByteArray legacyBytes = readFile(m_legacy);
        const QString nativePath = QSettings().fileName();
        const QString folder = m_dir->path() + "/Tolvane/TolvaneMailConnect";
        QVERIFY(!blocked || writeFile(folder, "in the way"));
        load();
        QCOMPARE(describe(), migrated);
        QCOMPARE(settings()->getPassword(settings()->data().first().m_accountName), password);
        if (blocked) { // kept in memory until a save succeeds
            QVERIFY(QFile::remove(folder) && settings()->saveSettings());
        }
        QCOMPARE(fileMode(m_file), 0600);
        // The legacy settings stay as they were, and so does the process-wide native path.
        QCOMPARE(readFile(m_legacy), legacyBytes);
        QCOMPARE(QSettings().fileName(), nativePath);
        // A second start reads the new file, not the legacy settings.
        settings()->setLocalSMTPPort(settings()->data().first().m_accountName, 4444);
        const QString saved = describe();
        ApplicationSettings::drop();
        load();
        QCOMPARE(describe(), saved);
    }

    void instanceFromThreads() { QVERIFY(sameInstanceFromThreads<ApplicationSettings>()); }
};

TOLVANE_TEST_MAIN(TestApplicationSettings)
#include "tst_applicationsettings.moc"
