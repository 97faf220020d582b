#include "settings/applicationsettings.h"

#include "checks.h"
#include "core/sysinfotool.h"
#include "log/logger.h"
#include "settings/qsimplecipher.h"
#include "support/logcapture.h"
#include "support/testmain.h"

#include <csignal>
#include <cstddef>
#include <functional>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr uid_t kUser = 65534; // an unprivileged user's id ("nobody")

// Where a damaged settings file is kept.
constexpr int kNowhere = 0, kBesideFile = 1, kBesideCopy = 2;
// What goes wrong while a save writes.
constexpr int kNoFault = 0, kNoRoomForCopy = 1, kCutOff = 2, kKilled = 3, kSyncFails = 4;

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

ino_t inode(const QString &path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

// Lets every user pass the folders from `folder` up to the test's own world.
void makePassable(const QString &folder)
{
    const QString top = QFileInfo(QDir::tempPath()).path();
    for (QString dir = folder; dir.startsWith(top); dir = QFileInfo(dir).path())
        QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeGroup | QFile::ExeOther);
}

// System calls the kernel refuses a thread, with the error it gives.
struct Refusal
{
    std::vector<long> calls;
    int error = 0;
};

// Every change of a file's mode, as a FAT file system or some network shares refuse them.
const Refusal kNoChmod{{
#ifdef SYS_chmod
                           SYS_chmod,
#endif
#ifdef SYS_fchmodat2
                           SYS_fchmodat2,
#endif
                           SYS_fchmod, SYS_fchmodat},
                       EPERM};
// Every sync, as storage that finds only then that it has no room left for what it took.
const Refusal kNoSync{{SYS_fsync, SYS_fdatasync, SYS_syncfs, SYS_sync_file_range}, EIO};

// From here on the kernel refuses this thread the calls; other threads are not affected. The
// filter stays for the thread's life. False when it could not be installed.
bool refuseInThisThread(const Refusal &refusal)
{
    std::vector<sock_filter> filter{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr))};
    for (const long call : refusal.calls) {
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __u32(call), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | __u32(refusal.error)));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs `work` in a thread of its own with the file rights of an unprivileged user and group (when
// the test runs as root), and the calls refused. False when the thread could not be set up.
bool asUser(const Refusal &refusal, const std::function<void()> &work)
{
    bool ready = false;
    std::thread thread([&] {
        const bool root = ::geteuid() == 0; // else the test's own user stands for it
        if (root) {
            ::setfsgid(kUser);
            ::setfsuid(kUser);
        }
        ready = (!root ||
                 (::setfsuid(uid_t(-1)) == int(kUser) && ::setfsgid(gid_t(-1)) == int(kUser))) &&
                (refusal.calls.empty() || refuseInThisThread(refusal));
        if (ready)
            work();
    });
    thread.join();
    return ready;
}

// Runs `save` while no file may grow beyond `limit` bytes (0: any size), as on a full disk: with
// SIGXFSZ ignored a write beyond it fails, or, when `killed`, the signal ends a child process that
// runs it. True when the save reported failure, or the child ended by the signal.
bool faultySave(rlim_t limit, bool killed, const std::function<bool()> &save)
{
    struct rlimit previous = {};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    struct rlimit small = previous;
    small.rlim_cur = limit > 0 ? limit : previous.rlim_cur;
    if (killed) {
        const pid_t child = ::fork();
        if (child == 0) {
            // The log files are already beyond the limit; only the save may meet it.
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
            const struct rlimit noCore = {0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            std::signal(SIGXFSZ, SIG_DFL);
            ::setrlimit(RLIMIT_FSIZE, &small);
            save();
            ::_exit(0);
        }
        int status = 0;
        return child > 0 && ::waitpid(child, &status, 0) == child && WIFSIGNALED(status) &&
               WTERMSIG(status) == SIGXFSZ;
    }
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool saved = save();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);
    return !saved;
}
} // namespace

class TestApplicationSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder;
    QString m_file;
    QString m_legacy; // the native settings of the older versions

    ApplicationSettings *settings() const { return ApplicationSettings::instance(); }
    // A fresh store that has loaded the file.
    void load()
    {
        ApplicationSettings::drop();
        settings()->getConfigData(m_folder, m_file);
    }
    // The accounts, a line each, then the LAN, Internet, relay and auto-start switches.
    QString describe() const
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
        const QString copy = ApplicationSettings::previousCopyPath();
        QFile::remove(copy);
        QDir copyFolder(QFileInfo(copy).path());
        for (const QString &kept : copyFolder.entryList({"config.json.*.damaged"}))
            QFile::remove(copyFolder.filePath(kept));
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
    }
    void loads()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, loaded);
        QFETCH(QString, password);
        QVERIFY(writeFile(m_file, file));
        // A copy an earlier save in place left behind never overrides a file that reads whole.
        QVERIFY(writeFile(ApplicationSettings::previousCopyPath(), "{}"));
        load();
        QCOMPARE(describe(), loaded);
        QVERIFY(!QFile::exists(ApplicationSettings::previousCopyPath()));
        QCOMPARE(settings()->getPassword(settings()->data().value(0).m_accountName), password);
        QCOMPARE(readFile(m_file), file); // loading alone never rewrites the file
    }

    // A file that does not read as settings is kept before anything replaces it: renamed beside
    // it, or, where its folder lets no file be made, copied beside the copy of the settings a save
    // in place kept first, which are then loaded and written back. One that can be neither moved
    // nor read is never replaced in this run.
    void damagedFileIsKept_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: a folder in the file's place
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<bool>("copy");
        QTest::addColumn<int>("keptIn");
        const QByteArray cut = json("{'Accounts':[{'account_name':'w','lo");
        const QByteArray unread = json("{'Accounts':[]}");
        QTest::newRow("cut short") << cut << 0644 << 0777 << false << kBesideFile;
        QTest::newRow("unreadable") << unread << 0 << 0777 << false << kBesideFile;
        QTest::newRow("cannot be moved")
            << QByteArray("{ damaged") << 0644 << 0555 << false << kBesideCopy;
        QTest::newRow("cut short, settings kept") << cut << 0644 << 0777 << true << kBesideFile;
        QTest::newRow("unreadable, settings kept") << unread << 0 << 0777 << true << kBesideFile;
        QTest::newRow("a folder in its place, settings kept")
            << QByteArray() << 0755 << 0777 << true << kBesideFile;
        QTest::newRow("cannot be moved, settings kept")
            << QByteArray("{ damaged") << 0644 << 0555 << true << kBesideCopy;
        QTest::newRow("unreadable, cannot be moved, settings kept")
            << unread << 0 << 0555 << true << kNowhere;
    }
    void damagedFileIsKept()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, fileMode);
        QFETCH(int, folderMode);
        QFETCH(bool, copy);
        QFETCH(int, keptIn);
        const QByteArray kept = json("{'Accounts':[{'account_name':'kept','login':'k@b.c'}]}");
        const QString copyPath = ApplicationSettings::previousCopyPath();
        const QString copyFolder = QFileInfo(copyPath).path();
        QVERIFY(QDir().mkpath(m_folder) && QDir().mkpath(copyFolder));
        QVERIFY(content.isNull() ? QDir().mkdir(m_file) : writeFile(m_file, content));
        QVERIFY(!copy || writeFile(copyPath, kept));
        // The file, the copy and its folder are the user's; the settings folder may not be.
        const uid_t user = ::geteuid() == 0 ? kUser : ::geteuid();
        for (const QString &path : {m_file, copyFolder, copyPath})
            QVERIFY(!QFileInfo::exists(path) || ::chown(QFile::encodeName(path), user, 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_file), mode_t(fileMode)) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_folder), mode_t(folderMode)) == 0);
        makePassable(m_folder);
        makePassable(copyFolder);
        QString loaded;
        QVERIFY(asUser({}, [&] {
            load();
            loaded = describe();
        }));
        QVERIFY(::chmod(QFile::encodeName(m_folder), 0755) == 0);
        QCOMPARE(loaded, copy ? "kept|k@b.c||0|0|0|1\n0000" : "1111");
        const QStringList besideFile = QDir(m_folder).entryList({"config.json.*.damaged"});
        const QStringList besideCopy = QDir(copyFolder).entryList({"config.json.*.damaged"});
        QCOMPARE(besideFile.size() + 2 * besideCopy.size(), keptIn);
        if (keptIn != kNowhere) {
            const QString aside = (keptIn == kBesideFile ? m_folder : copyFolder + '/') +
                                  (besideFile + besideCopy).first();
            const QRegularExpression stamp(".*/config\\.json\\.[0-9]{8}-[0-9]{6}\\.damaged$");
            QVERIFY2(stamp.match(aside).hasMatch(), qPrintable(aside)); // in any locale
            QVERIFY(QFile::setPermissions(aside, QFile::ReadOwner | QFile::ExeOwner));
            QVERIFY(content.isNull() ? QFileInfo(aside).isDir() : readFile(aside) == content);
        }
        // Settings taken from the copy are back in the file, and the copy is gone; the copy stays
        // while the file could not be replaced.
        QCOMPARE(QFile::exists(copyPath), keptIn == kNowhere);
        settings()->saveAccountData({"new", "new@x.y", "pw"});
        const QByteArray saved = readFile(m_file);
        if (keptIn == kNowhere) { // this run never replaces it
            QVERIFY(!settings()->saveSettings());
            QVERIFY(QFile::setPermissions(m_file, QFile::ReadOwner));
            QCOMPARE(readFile(m_file), content);
        } else {
            QVERIFY(saved.contains("\"new\""));
            QCOMPARE(saved.contains("\"kept\""), copy);
        }
    }

    void savesWholeFile()
    {
        QVERIFY(writeFile(m_file, "{}")); // from an older version, with wider permissions
        QVERIFY(::chmod(QFile::encodeName(m_file), 0644) == 0);
        load();
        settings()->saveAccountData(
            {"work", "ann@example.com", "secret", 1110, 65535, true, false});
        settings()->setInternetEnabled(true);
        settings()->setAutoStart(false);
        QCOMPARE(fileMode(m_file), 0600);
        // Every key and value as older versions wrote them, in Qt's indented form.
        QCOMPARE(
            readFile(m_file),
            QJsonDocument::fromJson(
                json("{'Accounts':[{'account_name':'work','login':'ann@example.com','password':"
                     "'gfjwRX/W6O+QEL66oFL0ZQ==','pop3_port':1110,'show_disconnected_widget':false,"
                     "'show_notifications':true,'smtp_port':65535}],'Connection_Type':{'internet':"
                     "true,'lan':false,'relay':false},'General_Settings':{'AutoStart':false}}"))
                .toJson());
        const QString before = describe(); // a second store reads back what the first held
        load();
        QCOMPARE(describe(), before);

        // A disk that fills up while the file is written: writes beyond 64 bytes fail.
        const QByteArray saved = readFile(m_file);
        settings()->setLanEnabled(true);
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit previous = {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
        struct rlimit small = previous;
        small.rlim_cur = 64;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const bool savedOnFullDisk = settings()->saveSettings();
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, handler);
        QVERIFY(!savedOnFullDisk);
        QCOMPARE(readFile(m_file), saved);
        QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{"config.json"});
        QVERIFY(settings()->saveSettings()); // the change waited in memory
        QVERIFY(readFile(m_file).contains("\"lan\": true"));
    }

    // Where the file cannot be replaced, a change is written into it in place, the previous
    // settings kept in a copy first; where its mode cannot be changed, it is saved all the same.
    // Either way a restart reads the change back. When a full disk cuts the copy, or the file, or
    // ends the process while it writes the file, or when the disk fails to sync, the next start
    // loads the previous settings, and once the disk works again a save works.
    void savesWhereItCan_data()
    {
        QTest::addColumn<bool>("userFolder"); // else the folder belongs to another user
        QTest::addColumn<bool>("userFile");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("refuseChmod");
        QTest::addColumn<bool>("inPlace"); // else a new file was renamed over it
        QTest::addColumn<int>("savedMode");
        QTest::addColumn<int>("fault"); // during a first save
        const auto row = [](const char *name, bool userFolder, bool userFile, int mode,
                            bool refuseChmod, bool inPlace, int savedMode, int fault = kNoFault) {
            QTest::newRow(name) << userFolder << userFile << mode << refuseChmod << inPlace
                                << savedMode << fault;
        };
        row("folder of another user", false, true, 0600, false, true, 0600);
        row("folder of another user, file open to all", false, true, 0644, false, true, 0600);
        row("folder and file of another user, file writable", false, false, 0666, false, true,
            0666);
        row("file system refuses chmod", true, true, 0600, true, false, 0600);
        row("folder of another user, no room for the copy", false, true, 0600, false, true, 0600,
            kNoRoomForCopy);
        row("folder of another user, file cut off", false, true, 0600, false, true, 0600, kCutOff);
        row("folder of another user, killed while writing the file", false, true, 0600, false, true,
            0600, kKilled);
        row("folder of another user, file cut off, mode changes refused", false, true, 0600, true,
            true, 0600, kCutOff);
        row("sync of the new file fails", true, true, 0600, false, false, 0600, kSyncFails);
        row("folder of another user, sync of the copy fails", false, true, 0600, false, true, 0600,
            kSyncFails);
    }
    void savesWhereItCan()
    {
        QFETCH(bool, userFolder);
        QFETCH(bool, userFile);
        QFETCH(int, mode);
        QFETCH(bool, refuseChmod);
        QFETCH(bool, inPlace);
        QFETCH(int, savedMode);
        QFETCH(int, fault);
        if (::geteuid() != 0)
            QSKIP("needs root to hand the folder and the file to other users");
        const QByteArray account = "{'Accounts':[{'account_name':'w','login':'a@b.c'}]";
        // Longer than what a save writes, where there is room: a save in place must not leave
        // the tail of the old file behind.
        const QByteArray original =
            json(account + (fault == kNoFault ? ",'Old':'" + QByteArray(2000, 'x') + "'}" : "}"));
        QVERIFY(writeFile(m_file, original));
        QVERIFY(::chmod(QFile::encodeName(m_file), mode_t(mode)) == 0);
        QVERIFY(::chown(QFile::encodeName(m_file), userFile ? kUser : 0, 0) == 0);
        QVERIFY(::chown(QFile::encodeName(m_folder), userFolder ? kUser : 0, 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_folder), 0755) == 0);
        makePassable(m_folder);
        const QString copy = ApplicationSettings::previousCopyPath();
        const QString copyFolder = QFileInfo(copy).path(); // the user's own
        QVERIFY(QDir().mkpath(copyFolder) && ::chown(QFile::encodeName(copyFolder), kUser, 0) == 0);
        makePassable(copyFolder);
        const ino_t before = inode(m_file);
        const Refusal chmodRefusal = refuseChmod ? kNoChmod : Refusal();
        const int limit = fault == kNoRoomForCopy                ? 20
                          : fault == kCutOff || fault == kKilled ? 100
                                                                 : 0;
        bool failed = false; // the save under the fault
        QByteArray faulted;  // the file after it
        int copyMode = 0;
        TestSupport::LogCapture log;
        if (fault != kNoFault) {
            QVERIFY(asUser(fault == kSyncFails ? kNoSync : chmodRefusal, [&] {
                load();
                failed = faultySave(rlim_t(limit), fault == kKilled, [&] {
                    settings()->setRelayEnabled(true);
                    const bool saved = settings()->saveSettings();
                    return settings()->saveSettings() || saved; // the second finds the cut file
                });
                faulted = readFile(m_file);
                copyMode = fileMode(copy);
            }));
        }
        ino_t after = 0; // read before a second save could take the first file's number again
        QString afterFault, restarted;
        bool savedAgain = false;
        QVERIFY(asUser(chmodRefusal, [&] {
            load();
            afterFault = describe();
            settings()->setLocalPOP3Port("w", 2110);
            after = inode(m_file);
            savedAgain = settings()->saveSettings(); // and the store knows it saved
            load();
            restarted = describe();
        }));
        if (fault != kNoFault) {
            QVERIFY(failed);
            QCOMPARE(afterFault, "w|a@b.c||0|0|0|1\n0000");
            // Cut at the limit after the copy was kept; untouched where the copy did not fit or
            // a sync failed.
            const bool cut = limit >= original.size();
            if (cut)
                QCOMPARE(faulted.size(), limit);
            else
                QCOMPARE(faulted, original);
            QCOMPARE(copyMode, cut ? 0600 : -1);
            QVERIFY(fault != kSyncFails || log.contains("Input/output error"));
        }
        QCOMPARE(restarted, "w|a@b.c||2110|0|0|1\n0000");
        QVERIFY(savedAgain);
        QCOMPARE(after == before, inPlace);
        QCOMPARE(fileMode(m_file), savedMode);
        QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{"config.json"});
        QVERIFY(!QFile::exists(copy)); // gone once the file is whole
    }

    void normalizedLogin_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("stored");
        const auto row = [](const char *login, const char *stored) {
            QTest::newRow(login) << QString(login) << QString(stored);
        };
        row("John.Q.Smith", "johnqsmith@tolvane.com");
        row("  ann  lee @ Ex  Ample.org", "ann lee@ex ample.org");
        row("A.b@c@D.e", "ab@d.e"); // the first @ ends the local part, the last starts the domain
    }
    void normalizedLogin()
    {
        QFETCH(QString, login);
        QFETCH(QString, stored);
        QCOMPARE(ApplicationSettings::normalizedLogin(login), stored);
    }

    // Accounts are found by their exact name, the first of two of one name; a change to an
    // unknown one changes nothing, and the file is still written.
    void accountOperations()
    {
        load();
        settings()->saveAccountData({"dup", "one@x.y", "1"});
        settings()->saveAccountData({"dup", "two@x.y", "2", 3, 4});
        QVERIFY(QFile::remove(m_file));
        settings()->setLocalPOP3Port("DUP", 7);
        QVERIFY(QFile::exists(m_file));
        QCOMPARE(settings()->userName("DUP") + settings()->userName("dup"), "one@x.y");
        settings()->deleteAccountInfo("dup");
        QCOMPARE(settings()->data().size(), 1);
        QCOMPARE(settings()->data().first().m_login, "two@x.y");
    }

    void passwords()
    {
        TestSupport::LogCapture log;
        load();
        settings()->saveAccountData({"acc", "a@x.y", "pässwörd"}); // UTF-8, never Latin-1
        QCOMPARE(settings()->data().first().m_password, "GE56w9D7OWUfUEZwdvDSaw==");
        settings()->setPassword("acc", "secret");
        load();
        QCOMPARE(settings()->getPassword("acc"), "secret");
        // Every entry point logged its signature, none a password in any form.
        QVERIFY(log.contains("setPassword"));
        for (const char *secret : {"pässwörd", "GE56w9D7", "secret", "gfjwRX/W"})
            QVERIFY(!log.contains(secret));
    }

    void migration_data()
    {
        QTest::addColumn<QString>("legacy"); // key=value, the password in clear
        QTest::addColumn<QString>("migrated");
        QTest::addColumn<QString>("password");
        // A plain file where the settings folder goes: kept in memory until a save succeeds.
        QTest::newRow("all values, folder blocked")
            << "login=J.Smith@Example.com password=legacy-pass pop3=1110 smtp=1025 "
               "show_notifications=false show_disconnected_widget=false lan=false internet=true "
               "relay=false AutoStart=false"
            << "J.Smith|J.Smith@Example.com|C0tLgfy3T8XzE470IdSJSg==|1110|1025|0|0\n0100"
            << "legacy-pass";
        // The password bound to another computer's hardware identifier cannot be read.
        QTest::newRow("defaults, other hardware")
            << "login=ann@x.y password=other"
            << "ann|ann@x.y|DdQT6+dqcdnq07y5PbudFA==|110|25|1|1\n1111" << QString();
    }
    void migration()
    {
        QFETCH(QString, legacy);
        QFETCH(QString, migrated);
        QFETCH(QString, password);
        {
            QSettings native(m_legacy, QSettings::NativeFormat);
            for (const QString &entry : legacy.split(' ')) {
                const QString key = entry.section('=', 0, 0), value = entry.section('=', 1);
                QSimpleCipher cipher(
                    QSimpleCipher::kAes256, QSimpleCipher::kCbc, "4rt8,.27mkdj39d81",
                    value == "other" ? QByteArray(32, 'a') : SysInfoTool::hardwareUid().toLatin1());
                native.setValue(key, key == "password"
                                         ? QString(cipher.encrypt(value.toUtf8()).toBase64())
                                         : value);
            }
        }
        const QByteArray legacyBytes = readFile(m_legacy);
        const QString nativePath = QSettings().fileName();
        const bool blocked = QByteArray(QTest::currentDataTag()).contains("blocked");
        QVERIFY(!blocked || writeFile(m_folder.chopped(1), "in the way"));
        load();
        QCOMPARE(describe(), migrated);
        QCOMPARE(settings()->getPassword(settings()->data().first().m_accountName), password);
        QCOMPARE(fileMode(m_file), blocked ? -1 : 0600);
        QVERIFY(!blocked || (QFile::remove(m_folder.chopped(1)) && settings()->saveSettings()));
        // The legacy settings stay as they were, and so does the process-wide native path.
        QCOMPARE(readFile(m_legacy), legacyBytes);
        QCOMPARE(QSettings().fileName(), nativePath);
        // A later start reads the new file, not the legacy settings.
        settings()->setAutoStart(!settings()->isAutoStartSet());
        const QString saved = describe();
        load();
        QCOMPARE(describe(), saved);
    }

    void instanceFromThreads() { QVERIFY(sameInstanceFromThreads<ApplicationSettings>()); }
};

TOLVANE_TEST_MAIN(TestApplicationSettings)
#include "tst_applicationsettings.moc"
