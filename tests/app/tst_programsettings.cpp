#include "core/sysinfotool.h"
#include "settings/qsimplecipher.h"
#include "support/programrunner.h"
#include "support/testmain.h"

#include <QtTest>

#include <csignal>

using TestSupport::ProgramRunner;

namespace {
// One account as an older run left it; the password is "secret" in stored form.
const QByteArray kConfig = R"({
    "Accounts": [
        {
            "account_name": "work",
            "login": "ann@example.com",
            "password": "gfjwRX/W6O+QEL66oFL0ZQ==",
            "pop3_port": 1110,
            "show_disconnected_widget": true,
            "show_notifications": false,
            "smtp_port": 1025
        }
    ],
    "Connection_Type": {
        "internet": true,
        "lan": true,
        "relay": true
    },
    "General_Settings": {
        "AutoStart": true
    }
}
)";

QString settingsFile(const QString &home)
{
    return home + QStringLiteral("/.local/share/Tolvane/TolvaneMailConnect/config.json");
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonArray accountsIn(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object().value("Accounts").toArray();
}
} // namespace

class TestProgramSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); }
    void accountsSurviveRestarts();
    void legacySettingsMigratedOnce();
    void damagedFileKeptAside();

private:
    // Starts the program in that home, waits until it is up, stops it with SIGTERM.
    void runOnce(const QString &home);
};

void TestProgramSettings::runOnce(const QString &home)
{
    ProgramRunner program(home);
    // Runs in one home share the day's log file: count this run's lines only.
    const QString upLine = QStringLiteral("/checkupdate.php");
    const int before = program.logText().count(upLine);
    QVERIFY(program.start());
    // The signal handler is in place once the update query goes out.
    QTRY_VERIFY2_WITH_TIMEOUT(program.logText().count(upLine) > before,
                              program.standardError().constData(), 30000);
    program.sendSignal(SIGTERM);
    QVERIFY(program.waitForFinished());
    QVERIFY2(program.process().exitStatus() == QProcess::NormalExit,
             program.standardError().constData());
    QCOMPARE(program.process().exitCode(), 0);
}

void TestProgramSettings::accountsSurviveRestarts()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString file = settingsFile(home.path());
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(kConfig), qint64(kConfig.size()));
    }

    for (int run = 0; run < 2; ++run) {
        runOnce(home.path());
        if (QTest::currentTestFailed())
            return;
        const QJsonArray accounts = accountsIn(file);
        QCOMPARE(accounts.size(), 1);
        const QJsonObject account = accounts.at(0).toObject();
        QCOMPARE(account.value("account_name").toString(), QStringLiteral("work"));
        QCOMPARE(account.value("login").toString(), QStringLiteral("ann@example.com"));
        QCOMPARE(account.value("password").toString(), QStringLiteral("gfjwRX/W6O+QEL66oFL0ZQ=="));
        QCOMPARE(account.value("pop3_port").toInt(), 1110);
        QCOMPARE(account.value("smtp_port").toInt(), 1025);
    }
    // Nothing was kept aside: the file was read as it is.
    QCOMPARE(QDir(QFileInfo(file).absolutePath()).entryList({QStringLiteral("*.damaged")}),
             QStringList());
}

void TestProgramSettings::legacySettingsMigratedOnce()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    // Older versions kept their native settings below the program's data location, with the
    // password bound to this computer's hardware identifier.
    const QString legacyPath =
        home.path() +
        QStringLiteral("/.local/share/Tolvane/TolvaneMailConnect/Tolvane/TolvaneMailConnect.conf");
    {
        QSimpleCipher hardware(QSimpleCipher::kAes256, QSimpleCipher::kCbc,
                               QByteArray("4rt8,.27mkdj39d81"),
                               SysInfoTool::hardwareUid().toLatin1());
        QSettings legacy(legacyPath, QSettings::NativeFormat);
        legacy.setValue("login", "bob@example.org");
        legacy.setValue("password", QString::fromLatin1(hardware.encrypt("secret").toBase64()));
        legacy.setValue("pop3", 2110);
        legacy.setValue("relay", false);
        legacy.sync();
        QCOMPARE(legacy.status(), QSettings::NoError);
    }
    const QByteArray legacyBytes = readFile(legacyPath);
    const QString file = settingsFile(home.path());

    runOnce(home.path());
    if (QTest::currentTestFailed())
        return;
    const QByteArray migrated = readFile(file);
    const QJsonArray accounts = accountsIn(file);
    QCOMPARE(accounts.size(), 1);
    const QJsonObject account = accounts.at(0).toObject();
    QCOMPARE(account.value("account_name").toString(), QStringLiteral("bob"));
    QCOMPARE(account.value("login").toString(), QStringLiteral("bob@example.org"));
    // Re-enciphered with the settings cipher: "secret" in stored form.
    QCOMPARE(account.value("password").toString(), QStringLiteral("gfjwRX/W6O+QEL66oFL0ZQ=="));
    QCOMPARE(account.value("pop3_port").toInt(), 2110);
    QCOMPARE(account.value("smtp_port").toInt(), 25);
    const QJsonObject root = QJsonDocument::fromJson(migrated).object();
    QCOMPARE(root.value("Connection_Type").toObject().value("relay").toBool(true), false);
    QCOMPARE(QFile::permissions(file) & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());
    QCOMPARE(readFile(legacyPath), legacyBytes);

    // The second start reads the new file and leaves it as it is.
    runOnce(home.path());
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(readFile(file), migrated);
}

void TestProgramSettings::damagedFileKeptAside()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString file = settingsFile(home.path());
    const QString folder = QFileInfo(file).absolutePath();
    QVERIFY(QDir().mkpath(folder));
    const QByteArray damaged = kConfig.left(kConfig.size() / 2);
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(damaged), qint64(damaged.size()));
    }

    runOnce(home.path());
    if (QTest::currentTestFailed())
        return;
    const QStringList aside = QDir(folder).entryList({QStringLiteral("config.json.*.damaged")});
    QCOMPARE(aside.size(), 1);
    QCOMPARE(readFile(folder + QLatin1Char('/') + aside.first()), damaged);
    QVERIFY(!QFile::exists(file));
}

TOLVANE_TEST_MAIN(TestProgramSettings)
#include "tst_programsettings.moc"
