#include "settings/applicationsettings.h"

#include "core/sysinfotool.h"
#include "log/logger.h"
#include "settings/qsimplecipher.h"
#include "support/testmain.h"

#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
const QByteArray kPassPhrase("4rt8,.27mkdj39d81");

QStringList s_messages;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    s_messages.append(message);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

// One account as a line, so that mismatches print readably.
QString describe(const AccountDetails &account)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
        .arg(account.m_accountName, account.m_login, account.m_password)
        .arg(account.m_localPop3Port)
        .arg(account.m_localSmtpPort)
        .arg(account.m_showNotifications)
        .arg(account.m_showDisconnectedWidget);
}

QStringList describe(const QList<AccountDetails> &accounts)
{
    QStringList lines;
    for (const AccountDetails &account : accounts)
        lines.append(describe(account));
    return lines;
}

// LAN, Internet, relay and auto-start as four digits.
QString switches(const ApplicationSettings *settings)
{
    return QStringLiteral("%1%2%3%4")
        .arg(settings->isLanEnabled())
        .arg(settings->isInternetEnabled())
        .arg(settings->isRelayEnabled())
        .arg(settings->isAutoStartSet());
}

int fileMode(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 07777);
}

AccountDetails account(const QString &name, const QString &login, const QString &password, int pop3,
                       int smtp, bool notifications, bool widget)
{
    AccountDetails details;
    details.m_accountName = name;
    details.m_login = login;
    details.m_password = password;
    details.m_localPop3Port = pop3;
    details.m_localSmtpPort = smtp;
    details.m_showNotifications = notifications;
    details.m_showDisconnectedWidget = widget;
    return details;
}

// Runs file-system checks of the calling thread as an unprivileged user, so that folder
// permissions bind even when the tests run as root.
class UnprivilegedFiles
{
public:
    UnprivilegedFiles() : m_active(::geteuid() == 0)
    {
        if (m_active)
            ::setfsuid(kNobody);
    }
    ~UnprivilegedFiles()
    {
        if (m_active)
            ::setfsuid(0);
    }
    UnprivilegedFiles(const UnprivilegedFiles &) = delete;
    UnprivilegedFiles &operator=(const UnprivilegedFiles &) = delete;

private:
    static constexpr uid_t kNobody = 65534;
    bool m_active;
};

// Lets other users pass through the folders from path up to (not beyond) the test's own root.
void makeTraversable(const QString &path)
{
    const QString stop = QFileInfo(TestSupport::TestEnvironment::current()->root()).absolutePath();
    QString current = QFileInfo(path).absoluteFilePath();
    while (!current.isEmpty() && current != stop && current != QLatin1String("/")) {
        const QByteArray name = QFile::encodeName(current);
        struct stat info
        {
        };
        if (::stat(name.constData(), &info) == 0)
            ::chmod(name.constData(), (info.st_mode & 07777) | S_IXOTH | S_IXGRP);
        current = QFileInfo(current).absolutePath();
    }
}
} // namespace

class TestApplicationSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void loadMatrix_data();
    void loadMatrix();
    void missingFileStartsEmpty();
    void damagedFileIsKeptAside_data();
    void damagedFileIsKeptAside();
    void unreadableFileIsKeptAside();
    void damagedFileThatCannotBeMovedIsNeverOverwritten();
    void writtenFileByteForByte();
    void emptyAccountListWritten();
    void fileIsOwnerOnly();
    void folderIsCreated();
    void saveBeforeLoadFails();
    void saveIntoReadOnlyFolderKeepsOldFile();
    void failedWriteKeepsOldFile();
    void setUsernameNormalises_data();
    void setUsernameNormalises();
    void savesEvenWhenNotFound_data();
    void savesEvenWhenNotFound();
    void unknownAccountNotSaved_data();
    void unknownAccountNotSaved();
    void unknownAccountGetters();
    void duplicateNamesActOnFirst();
    void passwordRoundTrip_data();
    void passwordRoundTrip();
    void olderLatin1PasswordReadable();
    void passwordsNeverLogged();
    void migration();
    void migrationDefaults();
    void migrationWithOtherHardware();
    void migrationWithoutWritableFolder();
    void instanceIsShared();
    void dropGivesFreshStore();

private:
    void load();
    QString m_folder;
    QString m_file;
    std::unique_ptr<QTemporaryDir> m_dir;
    QtMessageHandler m_previousHandler = nullptr;
};

void TestApplicationSettings::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tolvane"));
    QCoreApplication::setApplicationName(QStringLiteral("TolvaneMailConnect"));
    Log::Logger("ApplicationSettings").setLevel(Log::ALL);
}

void TestApplicationSettings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path() + QStringLiteral("/Tolvane/TolvaneMailConnect/");
    m_file = m_folder + QStringLiteral("config.json");
    s_messages.clear();
    m_previousHandler = qInstallMessageHandler(captureMessage);
}

void TestApplicationSettings::cleanup()
{
    ApplicationSettings::drop();
    qInstallMessageHandler(m_previousHandler);
    // Legacy settings made by a test must not leak into the next one.
    QDir(QStandardPaths::writableLocation(QStandardPaths::DataLocation)).removeRecursively();
    m_dir.reset();
}

void TestApplicationSettings::load()
{
    ApplicationSettings::instance()->getConfigData(m_folder, m_file);
}

void TestApplicationSettings::loadMatrix_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QStringList>("accounts");
    QTest::addColumn<QString>("switches");

    QTest::newRow("complete")
        << QByteArray(R"({"Accounts":[{"account_name":"work","login":"ann@example.com",
                      "password":"gfjwRX/W6O+QEL66oFL0ZQ==","pop3_port":1110,"smtp_port":1025,
                      "show_notifications":true,"show_disconnected_widget":false}],
                      "Connection_Type":{"lan":true,"internet":false,"relay":true},
                      "General_Settings":{"AutoStart":false}})")
        << QStringList{"work|ann@example.com|gfjwRX/W6O+QEL66oFL0ZQ==|1110|1025|1|0"} << "1010";
    QTest::newRow("empty account object")
        << QByteArray(R"({"Accounts":[{}],"Connection_Type":null,"General_Settings":null})")
        << QStringList{"|@tolvane.com||0|0|0|1"} << "1111";
    QTest::newRow("null members")
        << QByteArray(R"({"Accounts":[{"account_name":null,"login":null,"password":null,
                      "pop3_port":null,"smtp_port":null,"show_notifications":null,
                      "show_disconnected_widget":null}],
                      "Connection_Type":null,"General_Settings":null})")
        << QStringList{"|@tolvane.com||0|0|0|0"} << "1111";
    QTest::newRow("wrong types")
        << QByteArray(R"({"Accounts":[{"account_name":5,"login":true,"password":[1],
                      "pop3_port":"110","smtp_port":{},"show_notifications":"true",
                      "show_disconnected_widget":1}],
                      "Connection_Type":{"lan":"yes","internet":1,"relay":null},
                      "General_Settings":{"AutoStart":"true"}})")
        << QStringList{"|@tolvane.com||0|0|0|0"} << "0000";
    QTest::newRow("ports truncated toward zero")
        << QByteArray(R"({"Accounts":[{"account_name":"a","login":"a@b.c","pop3_port":995.9,
                      "smtp_port":-3.7},{"account_name":"b","login":"b@b.c","pop3_port":1e12,
                      "smtp_port":-1e12}],"Connection_Type":null,"General_Settings":null})")
        << QStringList{"a|a@b.c||995|-3|0|1", "b|b@b.c||0|0|0|1"} << "1111";
    QTest::newRow("login without @ gets the domain, unchanged otherwise")
        << QByteArray(R"({"Accounts":[{"account_name":"x","login":"John.Smith"}],
                      "Connection_Type":null,"General_Settings":null})")
        << QStringList{"x|John.Smith@tolvane.com||0|0|0|1"} << "1111";
    QTest::newRow("order kept, element not an object")
        << QByteArray(R"({"Accounts":[{"account_name":"z","login":"z@q.r"},7,
                      {"account_name":"a","login":"a@q.r"}]})")
        << QStringList{"z|z@q.r||0|0|0|1", "|@tolvane.com||0|0|0|1", "a|a@q.r||0|0|0|1"} << "0000";
    QTest::newRow("switch objects missing")
        << QByteArray(R"({"Accounts":[]})") << QStringList{} << "0000";
    QTest::newRow("switch objects null")
        << QByteArray(R"({"Connection_Type":null,"General_Settings":null})") << QStringList{}
        << "1111";
    QTest::newRow("switch objects as arrays")
        << QByteArray(R"({"Connection_Type":[true],"General_Settings":[true]})") << QStringList{}
        << "0000";
    QTest::newRow("switch members missing")
        << QByteArray(R"({"Connection_Type":{"relay":true},"General_Settings":{}})")
        << QStringList{} << "0010";
    QTest::newRow("accounts not an array")
        << QByteArray(R"({"Accounts":{"account_name":"x"},"Connection_Type":null,
                      "General_Settings":{"AutoStart":true}})")
        << QStringList{} << "1111";
    QTest::newRow("root is an array")
        << QByteArray(R"([{"Accounts":[{"account_name":"x"}]}])") << QStringList{} << "0000";
}

void TestApplicationSettings::loadMatrix()
{
    QFETCH(QByteArray, json);
    QFETCH(QStringList, accounts);
    QFETCH(QString, switches);
    QVERIFY(writeFile(m_file, json));
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    QCOMPARE(describe(settings->data()), accounts);
    QCOMPARE(::switches(settings), switches);
    QCOMPARE(settings->configFilePath(), m_folder);
    QVERIFY(s_messages.last().endsWith(QLatin1String("All config params are read")));
    // Loading alone never rewrites the file.
    QCOMPARE(readFile(m_file), json);
}

void TestApplicationSettings::missingFileStartsEmpty()
{
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    QVERIFY(settings->data().isEmpty());
    QCOMPARE(switches(settings), QStringLiteral("1111"));
    QVERIFY(!QFileInfo::exists(m_file));
    QCOMPARE(s_messages.filter(QStringLiteral("ERROR")).size(), 2);
    QVERIFY(
        s_messages.filter(QStringLiteral("Please, make sure that config file is present")).size() ==
        1);

    // The first save creates the file.
    settings->setAutoStart(false);
    QVERIFY(QFileInfo::exists(m_file));
}

void TestApplicationSettings::damagedFileIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("garbage") << QByteArray("this is not json");
    QTest::newRow("cut short") << QByteArray(R"({"Accounts":[{"account_name":"work","log)");
    QTest::newRow("empty") << QByteArray();
}

void TestApplicationSettings::damagedFileIsKeptAside()
{
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(m_file, content));
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    QVERIFY(settings->data().isEmpty());
    QCOMPARE(switches(settings), QStringLiteral("1111"));
    QVERIFY(!s_messages.filter(QStringLiteral("No parameters are found in config file")).isEmpty());

    const QStringList aside =
        QDir(m_folder).entryList({QStringLiteral("config.json.*.damaged")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(readFile(m_folder + aside.first()), content);
    QVERIFY(!QFileInfo::exists(m_file));
    const QStringList errors = s_messages.filter(QStringLiteral("ERROR"));
    QCOMPARE(errors.size(), 1);
    QVERIFY(errors.first().contains(aside.first()));

    // Saving afterwards writes a new file and leaves the damaged one alone.
    settings->saveAccountData(account("new", "new@x.y", "pw", 1, 2, false, true));
    QVERIFY(readFile(m_file).contains("\"new\""));
    QCOMPARE(readFile(m_folder + aside.first()), content);
}

void TestApplicationSettings::unreadableFileIsKeptAside()
{
    const QByteArray content = R"({"Accounts":[{"account_name":"work","login":"a@b.c"}]})";
    QVERIFY(writeFile(m_file, content));
    makeTraversable(m_folder);
    QVERIFY(::chmod(QFile::encodeName(m_folder).constData(), 0777) == 0);
    QVERIFY(::chmod(QFile::encodeName(m_file).constData(), 0) == 0);
    {
        UnprivilegedFiles unprivileged;
        load();
    }
    ApplicationSettings *settings = ApplicationSettings::instance();
    QVERIFY(settings->data().isEmpty());
    QCOMPARE(
        s_messages.filter(QStringLiteral("Please, make sure that config file is present")).size(),
        1);
    const QStringList aside =
        QDir(m_folder).entryList({QStringLiteral("config.json.*.damaged")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QVERIFY(!QFileInfo::exists(m_file));
    QVERIFY(::chmod(QFile::encodeName(m_folder + aside.first()).constData(), 0600) == 0);
    QCOMPARE(readFile(m_folder + aside.first()), content);
}

void TestApplicationSettings::damagedFileThatCannotBeMovedIsNeverOverwritten()
{
    const QByteArray content("{ damaged");
    QVERIFY(writeFile(m_file, content));
    makeTraversable(m_folder);
    QVERIFY(::chmod(QFile::encodeName(m_folder).constData(), 0555) == 0);
    {
        UnprivilegedFiles unprivileged;
        load();
    }
    QVERIFY(::chmod(QFile::encodeName(m_folder).constData(), 0755) == 0);
    QVERIFY(!s_messages.filter(QStringLiteral("could not be kept aside")).isEmpty());

    // Even with the folder writable again, this run does not replace the damaged file.
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(account("new", "new@x.y", "pw", 1, 2, false, true));
    QVERIFY(!settings->saveSettings());
    QCOMPARE(readFile(m_file), content);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{"config.json"});
    QCOMPARE(settings->data().size(), 1);
}

void TestApplicationSettings::writtenFileByteForByte()
{
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(
        account("work", "ann@example.com", "secret", 1110, 1025, true, false));
    settings->saveAccountData(account("home", "bob@example.org", "", 0, 65535, false, true));
    settings->setLanEnabled(false);
    settings->setRelayEnabled(false);
    settings->setAutoStart(false);

    const QByteArray expected = "{\n"
                                "    \"Accounts\": [\n"
                                "        {\n"
                                "            \"account_name\": \"work\",\n"
                                "            \"login\": \"ann@example.com\",\n"
                                "            \"password\": \"gfjwRX/W6O+QEL66oFL0ZQ==\",\n"
                                "            \"pop3_port\": 1110,\n"
                                "            \"show_disconnected_widget\": false,\n"
                                "            \"show_notifications\": true,\n"
                                "            \"smtp_port\": 1025\n"
                                "        },\n"
                                "        {\n"
                                "            \"account_name\": \"home\",\n"
                                "            \"login\": \"bob@example.org\",\n"
                                "            \"password\": \"DdQT6+dqcdnq07y5PbudFA==\",\n"
                                "            \"pop3_port\": 0,\n"
                                "            \"show_disconnected_widget\": true,\n"
                                "            \"show_notifications\": false,\n"
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
                                "}\n";
    QCOMPARE(readFile(m_file), expected);

    // A second store reads back exactly what the first one held.
    const QList<AccountDetails> before = settings->data();
    ApplicationSettings::drop();
    load();
    QCOMPARE(describe(ApplicationSettings::instance()->data()), describe(before));
    QCOMPARE(switches(ApplicationSettings::instance()), QStringLiteral("0100"));
}

void TestApplicationSettings::emptyAccountListWritten()
{
    load();
    QVERIFY(ApplicationSettings::instance()->saveSettings());
    const QJsonDocument document = QJsonDocument::fromJson(readFile(m_file));
    QVERIFY(document.isObject());
    QVERIFY(document.object().value(QLatin1String("Accounts")).isArray());
    QCOMPARE(document.object().value(QLatin1String("Accounts")).toArray().size(), 0);
    QCOMPARE(document.object().keys(),
             QStringList({"Accounts", "Connection_Type", "General_Settings"}));
}

void TestApplicationSettings::fileIsOwnerOnly()
{
    // A file left by an older version with wider permissions is narrowed too.
    QVERIFY(writeFile(m_file, R"({"Accounts":[]})"));
    QVERIFY(::chmod(QFile::encodeName(m_file).constData(), 0644) == 0);
    load();
    QVERIFY(ApplicationSettings::instance()->saveSettings());
    QCOMPARE(fileMode(m_file), 0600);

    QVERIFY(QFile::remove(m_file));
    ::umask(0);
    const bool saved = ApplicationSettings::instance()->saveSettings();
    ::umask(022);
    QVERIFY(saved);
    QCOMPARE(fileMode(m_file), 0600);
}

void TestApplicationSettings::folderIsCreated()
{
    QVERIFY(!QFileInfo::exists(m_folder));
    load();
    ApplicationSettings::instance()->setAutoStart(true);
    QVERIFY(QFileInfo(m_folder).isDir());
    QVERIFY(QFileInfo::exists(m_file));
}

void TestApplicationSettings::saveBeforeLoadFails()
{
    QVERIFY(!ApplicationSettings::instance()->saveSettings());
    QCOMPARE(s_messages.filter(QStringLiteral("Impossibe to open config file for writing")).size(),
             1);
}

void TestApplicationSettings::saveIntoReadOnlyFolderKeepsOldFile()
{
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(account("work", "ann@example.com", "secret", 1, 2, true, true));
    const QByteArray before = readFile(m_file);
    QVERIFY(!before.isEmpty());

    makeTraversable(m_folder);
    QVERIFY(::chmod(QFile::encodeName(m_folder).constData(), 0555) == 0);
    bool saved = true;
    {
        UnprivilegedFiles unprivileged;
        settings->setLocalPOP3Port(QStringLiteral("work"), 4444);
        saved = settings->saveSettings();
    }
    QVERIFY(::chmod(QFile::encodeName(m_folder).constData(), 0755) == 0);

    QVERIFY(!saved);
    QCOMPARE(readFile(m_file), before);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{"config.json"});
    QVERIFY(s_messages.filter(QStringLiteral("Impossibe to open config file for writing")).size() >=
            1);
    // The change stays in memory and reaches the file with the next successful save.
    QCOMPARE(settings->localPOP3Port(QStringLiteral("work")), 4444);
    QVERIFY(settings->saveSettings());
    QVERIFY(readFile(m_file).contains("4444"));
}

void TestApplicationSettings::failedWriteKeepsOldFile()
{
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(account("work", "ann@example.com", "secret", 1, 2, true, true));
    const QByteArray before = readFile(m_file);

    // A disk that fills up while the file is written: writes beyond 64 bytes fail.
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit previous
    {
    };
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
    struct rlimit small = previous;
    small.rlim_cur = 64;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    settings->saveAccountData(account("home", "bob@example.org", "pw", 3, 4, false, false));
    const bool saved = settings->saveSettings();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!saved);
    QCOMPARE(readFile(m_file), before);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{"config.json"});
    QCOMPARE(s_messages.filter(QStringLiteral("Config file could not be saved")).size(), 2);
    QVERIFY(settings->saveSettings());
    QVERIFY(readFile(m_file).contains("bob@example.org"));
}

void TestApplicationSettings::setUsernameNormalises_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("stored");
    QTest::newRow("no @, capitals and dots") << "John.Q.Smith"
                                             << "johnqsmith@tolvane.com";
    QTest::newRow("@, capitals, dots, blanks") << "  John.Smith@Mail.Example.COM "
                                               << "johnsmith@mail.example.com";
    QTest::newRow("inner blanks simplified") << "ann  lee @ Ex  Ample.org"
                                             << "ann lee@ex ample.org";
    QTest::newRow("several @: first ends the local part, last starts the domain") << "A.b@c@D.e"
                                                                                  << "ab@d.e";
    QTest::newRow("empty") << ""
                           << "@tolvane.com";
    QTest::newRow("already normal") << "ann@tolvane.com"
                                    << "ann@tolvane.com";
}

void TestApplicationSettings::setUsernameNormalises()
{
    QFETCH(QString, login);
    QFETCH(QString, stored);
    QCOMPARE(ApplicationSettings::normalizedLogin(login), stored);

    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(account("acc", "old@x.y", "pw", 1, 2, false, true));
    QVERIFY(QFile::remove(m_file));
    settings->setUsername(QStringLiteral("acc"), login);
    QCOMPARE(settings->userName(QStringLiteral("acc")), stored);
    const QJsonArray accounts =
        QJsonDocument::fromJson(readFile(m_file)).object().value("Accounts").toArray();
    QCOMPARE(accounts.size(), 1);
    QCOMPARE(accounts.at(0).toObject().value("login").toString(), stored);
}

void TestApplicationSettings::savesEvenWhenNotFound_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("setAccountName") << 0;
    QTest::newRow("setLocalPOP3Port") << 1;
    QTest::newRow("setLocalSMTPPort") << 2;
    QTest::newRow("setShowNotificationsBox") << 3;
    QTest::newRow("setShowDisconnectedWidget") << 4;
    QTest::newRow("deleteAccountInfo") << 5;
}

void TestApplicationSettings::savesEvenWhenNotFound()
{
    QFETCH(int, operation);
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(account("acc", "a@x.y", "pw", 1, 2, false, true));
    const QByteArray before = readFile(m_file);
    QVERIFY(QFile::remove(m_file));

    const QString nobody = QStringLiteral("nobody");
    switch (operation) {
    case 0:
        settings->setAccountName(nobody, QStringLiteral("renamed"));
        break;
    case 1:
        settings->setLocalPOP3Port(nobody, 7);
        break;
    case 2:
        settings->setLocalSMTPPort(nobody, 7);
        break;
    case 3:
        settings->setShowNotificationsBox(nobody, true);
        break;
    case 4:
        settings->setShowDisconnectedWidget(nobody, false);
        break;
    case 5:
        settings->deleteAccountInfo(nobody);
        break;
    }
    QCOMPARE(readFile(m_file), before);
}

void TestApplicationSettings::unknownAccountNotSaved_data()
{
    QTest::addColumn<bool>("password");
    QTest::newRow("setUsername") << false;
    QTest::newRow("setPassword") << true;
}

void TestApplicationSettings::unknownAccountNotSaved()
{
    QFETCH(bool, password);
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(account("acc", "a@x.y", "pw", 1, 2, false, true));
    const QStringList before = describe(settings->data());
    QVERIFY(QFile::remove(m_file));
    if (password)
        settings->setPassword(QStringLiteral("nobody"), QStringLiteral("pw2"));
    else
        settings->setUsername(QStringLiteral("nobody"), QStringLiteral("b@x.y"));
    QVERIFY(!QFileInfo::exists(m_file));
    QCOMPARE(describe(settings->data()), before);

    // The same call on an existing account saves.
    if (password)
        settings->setPassword(QStringLiteral("acc"), QStringLiteral("pw2"));
    else
        settings->setUsername(QStringLiteral("acc"), QStringLiteral("b@x.y"));
    QVERIFY(QFileInfo::exists(m_file));
}

void TestApplicationSettings::unknownAccountGetters()
{
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(account("acc", "a@x.y", "pw", 1, 2, false, true));
    QCOMPARE(settings->userName(QStringLiteral("ACC")), QString());
    QCOMPARE(settings->getPassword(QStringLiteral("ACC")), QString());
    QCOMPARE(settings->localPOP3Port(QStringLiteral("ACC")), 0);
    QCOMPARE(settings->localSMTPPort(QStringLiteral("ACC")), 0);
    QCOMPARE(settings->localSMTPPort(QStringLiteral("acc")), 2);
}

void TestApplicationSettings::duplicateNamesActOnFirst()
{
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    const QString dup = QStringLiteral("dup");
    settings->saveAccountData(account(dup, "one@x.y", "1", 1, 1, false, true));
    settings->saveAccountData(account(dup, "two@x.y", "2", 2, 2, false, true));

    settings->setLocalPOP3Port(dup, 110);
    settings->setLocalSMTPPort(dup, 25);
    settings->setShowNotificationsBox(dup, true);
    settings->setShowDisconnectedWidget(dup, false);
    settings->setUsername(dup, QStringLiteral("First@X.y"));
    settings->setPassword(dup, QStringLiteral("first"));
    QCOMPARE(settings->getPassword(dup), QStringLiteral("first"));
    QStringList expected{
        QStringLiteral("dup|first@x.y|%1|110|25|1|0").arg(settings->data().at(0).m_password),
        QStringLiteral("dup|two@x.y|%1|2|2|0|1").arg(settings->data().at(1).m_password)};
    QCOMPARE(describe(settings->data()), expected);

    settings->setAccountName(dup, QStringLiteral("renamed"));
    QCOMPARE(settings->data().at(0).m_accountName, QStringLiteral("renamed"));
    QCOMPARE(settings->data().at(1).m_accountName, dup);
    QCOMPARE(settings->getPassword(dup), QStringLiteral("2"));

    settings->saveAccountData(account(dup, "three@x.y", "3", 3, 3, false, true));
    settings->deleteAccountInfo(dup);
    const QJsonArray accounts =
        QJsonDocument::fromJson(readFile(m_file)).object().value("Accounts").toArray();
    QCOMPARE(accounts.size(), 2);
    QCOMPARE(accounts.at(0).toObject().value("account_name").toString(), QStringLiteral("renamed"));
    QCOMPARE(accounts.at(1).toObject().value("login").toString(), QStringLiteral("three@x.y"));
}

void TestApplicationSettings::passwordRoundTrip_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("stored");
    QTest::newRow("ascii") << "secret"
                           << "gfjwRX/W6O+QEL66oFL0ZQ==";
    QTest::newRow("empty") << ""
                           << "DdQT6+dqcdnq07y5PbudFA==";
    QTest::newRow("latin-1 letters") << QString::fromUtf8("pässwörd") << QString();
    QTest::newRow("cyrillic") << QString::fromUtf8("пароль") << QString();
    QTest::newRow("outside the BMP") << QString::fromUtf8("key🔑") << QString();
}

void TestApplicationSettings::passwordRoundTrip()
{
    QFETCH(QString, password);
    QFETCH(QString, stored);
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    settings->saveAccountData(account("acc", "a@x.y", password, 1, 2, false, true));
    if (!stored.isEmpty())
        QCOMPARE(settings->data().first().m_password, stored);
    QVERIFY(settings->data().first().m_password != password || password.isEmpty());
    QCOMPARE(settings->getPassword(QStringLiteral("acc")), password);

    settings->setPassword(QStringLiteral("acc"), password + QStringLiteral("2"));
    ApplicationSettings::drop();
    load();
    QCOMPARE(ApplicationSettings::instance()->getPassword(QStringLiteral("acc")),
             password + QStringLiteral("2"));
}

void TestApplicationSettings::olderLatin1PasswordReadable()
{
    // Older versions enciphered the Latin-1 bytes: "p\xe4ssw\xf6rd", checked with openssl enc.
    QVERIFY(writeFile(m_file, R"({"Accounts":[{"account_name":"acc","login":"a@x.y",
                      "password":"C59giVYXmT93MawoXFElYA=="}]})"));
    load();
    QCOMPARE(ApplicationSettings::instance()->getPassword(QStringLiteral("acc")),
             QString::fromUtf8("pässwörd"));
}

void TestApplicationSettings::passwordsNeverLogged()
{
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    s_messages.clear();
    settings->saveAccountData(account("acc", "a@x.y", "Hunter2Secret", 1, 2, false, true));
    settings->setPassword(QStringLiteral("acc"), QStringLiteral("Other9Secret"));
    QCOMPARE(settings->getPassword(QStringLiteral("acc")), QStringLiteral("Other9Secret"));
    settings->saveSettings();
    const QString stored = settings->data().first().m_password;

    // Trace is on, so every entry point logged its line.
    QVERIFY(s_messages.size() >= 4);
    QVERIFY(!s_messages.filter(QStringLiteral("setPassword")).isEmpty());
    for (const QString &message : qAsConst(s_messages)) {
        QVERIFY2(!message.contains(QLatin1String("Hunter2Secret")), qPrintable(message));
        QVERIFY2(!message.contains(QLatin1String("Other9Secret")), qPrintable(message));
        QVERIFY2(!message.contains(stored), qPrintable(message));
    }
}

namespace {
QString legacyPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::DataLocation) +
           QStringLiteral("/Tolvane/TolvaneMailConnect.conf");
}

QString legacyStoredForm(const QByteArray &clear)
{
    QSimpleCipher hardware(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase,
                           SysInfoTool::hardwareUid().toLatin1());
    return QString::fromLatin1(hardware.encrypt(clear).toBase64());
}
} // namespace

void TestApplicationSettings::migration()
{
    const QString defaultNativePath = QSettings().fileName();
    {
        QSettings legacy(legacyPath(), QSettings::NativeFormat);
        legacy.setValue("login", "John.Smith@Example.com");
        legacy.setValue("password", legacyStoredForm("legacy-pass"));
        legacy.setValue("pop3", 1110);
        legacy.setValue("smtp", 1025);
        legacy.setValue("show_notifications", false);
        legacy.setValue("show_disconnected_widget", false);
        legacy.setValue("lan", false);
        legacy.setValue("internet", true);
        legacy.setValue("relay", false);
        legacy.setValue("AutoStart", false);
        legacy.sync();
        QCOMPARE(legacy.status(), QSettings::NoError);
    }
    const QByteArray legacyBytes = readFile(legacyPath());
    QVERIFY(!legacyBytes.isEmpty());

    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    QVERIFY(!s_messages.filter(QStringLiteral("Reading from previous config file")).isEmpty());
    QCOMPARE(settings->data().size(), 1);
    const AccountDetails migrated = settings->data().first();
    QCOMPARE(migrated.m_accountName, QStringLiteral("John.Smith"));
    QCOMPARE(migrated.m_login, QStringLiteral("John.Smith@Example.com"));
    QCOMPARE(migrated.m_localPop3Port, 1110);
    QCOMPARE(migrated.m_localSmtpPort, 1025);
    QCOMPARE(migrated.m_showNotifications, false);
    QCOMPARE(migrated.m_showDisconnectedWidget, false);
    QCOMPARE(settings->getPassword(QStringLiteral("John.Smith")), QStringLiteral("legacy-pass"));
    QCOMPARE(switches(settings), QStringLiteral("0100"));

    // Written through the atomic path, owner-only, with the switches as objects.
    QCOMPARE(fileMode(m_file), 0600);
    const QJsonObject root = QJsonDocument::fromJson(readFile(m_file)).object();
    QCOMPARE(root.value("Accounts").toArray().size(), 1);
    QCOMPARE(root.value("Accounts").toArray().at(0).toObject().value("account_name").toString(),
             QStringLiteral("John.Smith"));
    QCOMPARE(root.value("Connection_Type").toObject().value("internet").toBool(), true);
    QCOMPARE(root.value("Connection_Type").toObject().value("lan").toBool(true), false);
    QCOMPARE(root.value("General_Settings").toObject().value("AutoStart").toBool(true), false);

    // The legacy settings stay untouched, and so does the process-wide native settings path.
    QCOMPARE(readFile(legacyPath()), legacyBytes);
    QCOMPARE(QSettings().fileName(), defaultNativePath);

    // A second start reads the new file and does not migrate again.
    const QByteArray written = readFile(m_file);
    ApplicationSettings::drop();
    s_messages.clear();
    load();
    QVERIFY(s_messages.filter(QStringLiteral("Reading from previous config file")).isEmpty());
    QCOMPARE(describe(ApplicationSettings::instance()->data()),
             describe(QList<AccountDetails>{migrated}));
    QCOMPARE(readFile(m_file), written);
}

void TestApplicationSettings::migrationDefaults()
{
    {
        QSettings legacy(legacyPath(), QSettings::NativeFormat);
        legacy.setValue("login", "plainlogin");
    }
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    QCOMPARE(
        describe(settings->data()),
        QStringList{QStringLiteral("plainlogin|plainlogin|DdQT6+dqcdnq07y5PbudFA==|110|25|1|1")});
    QCOMPARE(switches(settings), QStringLiteral("1111"));
}

void TestApplicationSettings::migrationWithOtherHardware()
{
    {
        QSettings legacy(legacyPath(), QSettings::NativeFormat);
        legacy.setValue("login", "ann@x.y");
        // Made on a machine with another hardware identifier.
        QSimpleCipher other(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase,
                            QByteArray("0123456789abcdef0123456789abcdef"));
        legacy.setValue("password",
                        QString::fromLatin1(other.encrypt("a longer password").toBase64()));
    }
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    QCOMPARE(settings->data().size(), 1);
    QCOMPARE(settings->data().first().m_password, QStringLiteral("DdQT6+dqcdnq07y5PbudFA=="));
    QCOMPARE(settings->getPassword(QStringLiteral("ann")), QString());
}

void TestApplicationSettings::migrationWithoutWritableFolder()
{
    {
        QSettings legacy(legacyPath(), QSettings::NativeFormat);
        legacy.setValue("login", "ann@x.y");
        legacy.setValue("password", legacyStoredForm("pw"));
    }
    // A plain file where the settings folder should be: nothing can be written there.
    QVERIFY(writeFile(m_dir->path() + QStringLiteral("/Tolvane/TolvaneMailConnect"), "in the way"));
    load();
    ApplicationSettings *settings = ApplicationSettings::instance();
    QVERIFY(!s_messages.filter(QStringLiteral("Impossibe to open previous config file")).isEmpty());
    // Nothing lost: the account is in memory, and the legacy settings are still there.
    QCOMPARE(settings->data().size(), 1);
    QCOMPARE(settings->getPassword(QStringLiteral("ann")), QStringLiteral("pw"));
    QVERIFY(QSettings(legacyPath(), QSettings::NativeFormat).contains("login"));

    // Once the folder can be made, the next save writes the migrated account.
    QVERIFY(QFile::remove(m_dir->path() + QStringLiteral("/Tolvane/TolvaneMailConnect")));
    QVERIFY(settings->saveSettings());
    QVERIFY(readFile(m_file).contains("ann@x.y"));
}

void TestApplicationSettings::instanceIsShared()
{
    constexpr int kThreads = 8;
    std::atomic<bool> go{false};
    std::vector<ApplicationSettings *> seen(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&go, &seen, i] {
            while (!go.load())
                std::this_thread::yield();
            seen[static_cast<size_t>(i)] = ApplicationSettings::instance();
        });
    }
    go.store(true);
    for (std::thread &thread : threads)
        thread.join();
    QVERIFY(seen.front() != nullptr);
    for (ApplicationSettings *settings : seen)
        QCOMPARE(settings, seen.front());
    QCOMPARE(ApplicationSettings::instance(), seen.front());
}

void TestApplicationSettings::dropGivesFreshStore()
{
    load();
    ApplicationSettings::instance()->saveAccountData(account("a", "a@x.y", "p", 1, 2, false, true));
    ApplicationSettings::instance()->setAutoStart(false);
    ApplicationSettings::drop();
    ApplicationSettings *fresh = ApplicationSettings::instance();
    QVERIFY(fresh->data().isEmpty());
    QCOMPARE(fresh->configFilePath(), QString());
    QCOMPARE(switches(fresh), QStringLiteral("1111"));
}

TOLVANE_TEST_MAIN(TestApplicationSettings)
#include "tst_applicationsettings.moc"
