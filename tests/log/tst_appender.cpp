#include "log/appender.h"
#include "log/fileutils.h"
#include "support/testmain.h"

namespace {

QString makeFolder(const QString &name)
{
    const QString path = QDir::current().filePath(name);
    FileUtils::removeDir(path);
    QDir().mkpath(path);
    return path;
}

void writeFile(const QString &path, qint64 size, char fill = 'x')
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray(int(size), fill));
}

QString dated(const QString &prefix, const QDate &date)
{
    return prefix + QLatin1Char('_') + date.toString(QStringLiteral("yyMMdd")) +
           QStringLiteral(".log");
}

void writeMessage(Log::Appender &appender, const QString &text)
{
    appender.write(QtDebugMsg, QMessageLogContext(), text);
}

} // namespace

class TestAppender : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fileNamePattern()
    {
        Log::Appender appender;
        appender.setLogFileNamePrefix(QStringLiteral("tolvanemail_connect"));
        QCOMPARE(QDate(2015, 2, 3).toString(appender.logFileNamePattern()),
                 QStringLiteral("tolvanemail_connect_150203.log"));
        QCOMPARE(appender.logFileName(), dated(QStringLiteral("tolvanemail_connect"),
                                               QDate::currentDate()));
    }

    void writesLineAndCounts()
    {
        const QString dir = QDir::current().filePath(QStringLiteral("fresh/logs"));
        FileUtils::removeDir(QDir::current().filePath(QStringLiteral("fresh")));
        Log::Appender appender;
        appender.setLogsDirPath(dir + QLatin1Char('/'));
        appender.setLogFileNamePrefix(QStringLiteral("p"));
        QCOMPARE(appender.runningTotal(), 0);

        writeMessage(appender, QStringLiteral("ab"));
        QCOMPARE(appender.runningTotal(), 3); // two characters and the line feed
        appender.write(QtWarningMsg, QMessageLogContext(), QStringLiteral("é"));
        QCOMPARE(appender.runningTotal(), 6); // counted in UTF-8 bytes

        // The missing folder was created; the trailing "/" was dropped from the stored path.
        QCOMPARE(appender.logsDirPath(), dir);
        QFile file(dir + QLatin1Char('/') + appender.logFileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("ab\n\xc3\xa9\n"));
    }

    void ageDeletion_data()
    {
        QTest::addColumn<int>("daysAgo");
        QTest::addColumn<bool>("kept");
        QTest::newRow("today") << 0 << true;
        QTest::newRow("six days ago") << 6 << true;
        QTest::newRow("seven days ago") << 7 << false;
        QTest::newRow("a year ago") << 365 << false;
    }
    void ageDeletion()
    {
        QFETCH(int, daysAgo);
        QFETCH(bool, kept);
        const QString dir = makeFolder(QStringLiteral("age"));
        const QString old = dated(QStringLiteral("pre"), QDate::currentDate().addDays(-daysAgo));
        writeFile(dir + QLatin1Char('/') + old, 10);
        writeFile(dir + QStringLiteral("/pre_notadate.log"), 10);
        writeFile(dir + QStringLiteral("/other_010101.log"), 10);

        Log::Appender appender;
        appender.setLogsDirPath(dir);
        appender.setLogFileNamePrefix(QStringLiteral("pre"));
        appender.setDaysLimit(7);
        writeMessage(appender, QStringLiteral("first message of the day"));

        QCOMPARE(QFile::exists(dir + QLatin1Char('/') + old), kept);
        QVERIFY(QFile::exists(dir + QStringLiteral("/pre_notadate.log")));
        QVERIFY(QFile::exists(dir + QStringLiteral("/other_010101.log")));
        // The count follows the folder after files were deleted.
        qint64 expected = 0;
        for (const QFileInfo &info : QDir(dir).entryInfoList({QStringLiteral("pre*.log")},
                                                             QDir::Files))
            expected += info.size();
        QCOMPARE(appender.runningTotal(), expected);
    }

    void sizeTrimming_data()
    {
        QTest::addColumn<QList<qint64>>("oldSizes"); // files 3, 2 and 1 days old
        QTest::addColumn<QList<qint64>>("remaining"); // -1: deleted
        // Maximum 1000, threshold 100; the folder holds 995 bytes, and a message of 5 characters
        // (6 bytes) takes it to 1001: 101 bytes go, oldest first.
        QTest::newRow("below maximum: untouched")
            << QList<qint64>{100, 100, 94} << QList<qint64>{100, 100, 94};
        QTest::newRow("oldest deleted, next cut")
            << QList<qint64>{60, 300, 100} << QList<qint64>{-1, 259, 100};
        QTest::newRow("oldest cut")
            << QList<qint64>{200, 300, 100} << QList<qint64>{99, 300, 100};
        QTest::newRow("exact fit deleted")
            << QList<qint64>{101, 300, 100} << QList<qint64>{-1, 300, 100};
    }
    void sizeTrimming()
    {
        QFETCH(QList<qint64>, oldSizes);
        QFETCH(QList<qint64>, remaining);
        const QString dir = makeFolder(QStringLiteral("size"));
        const QString prefix = QStringLiteral("s");
        QStringList names;
        qint64 total = 0;
        for (int i = 0; i < oldSizes.size(); ++i) {
            names << dated(prefix, QDate::currentDate().addDays(-(3 - i)));
            writeFile(dir + QLatin1Char('/') + names.last(), oldSizes[i]);
            total += oldSizes[i];
        }
        const QString today = dir + QLatin1Char('/') + dated(prefix, QDate::currentDate());
        const bool trims = total > 300;
        writeFile(today, (trims ? 995 : 794) - total);

        Log::Appender appender;
        appender.setLogFileNamePrefix(prefix);
        appender.setLogThreshold(100);
        appender.setMaxLogSize(1000);
        appender.setLogsDirPath(dir);
        writeMessage(appender, QStringLiteral("12345"));

        for (int i = 0; i < names.size(); ++i) {
            const QFileInfo info(dir + QLatin1Char('/') + names[i]);
            if (remaining[i] < 0)
                QVERIFY2(!info.exists(), qPrintable(names[i]));
            else
                QCOMPARE(info.size(), remaining[i]);
        }
        // The day's own file is untouched while older files suffice.
        QCOMPARE(QFileInfo(today).size(), (trims ? 995 : 794) - total + 6);
        QCOMPARE(appender.runningTotal(), trims ? 900 : 800);
    }

    void trimmingReachesTodayLast()
    {
        const QString dir = makeFolder(QStringLiteral("today"));
        const QString prefix = QStringLiteral("t");
        const QString older = dir + QLatin1Char('/') + dated(prefix, QDate::currentDate().addDays(-1));
        writeFile(older, 50);
        const QString today = dir + QLatin1Char('/') + dated(prefix, QDate::currentDate());
        writeFile(today, 900, 'a');

        Log::Appender appender;
        appender.setLogFileNamePrefix(prefix);
        appender.setLogsDirPath(dir);
        appender.setLogThreshold(200);
        appender.setMaxLogSize(1000); // total 950: below the maximum
        QVERIFY(QFile::exists(older));
        writeMessage(appender, QString(49, QLatin1Char('b'))); // total 1000: trim 200
        QVERIFY(!QFile::exists(older));
        QFile file(today);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QCOMPARE(content.size(), 950 - 150);
        QVERIFY(content.endsWith(QByteArray(49, 'b') + '\n'));
        QCOMPARE(appender.runningTotal(), 800);
    }

    void capHoldsAcrossRuns()
    {
        // A new run counts what earlier runs left, so the maximum holds from the first message.
        const QString dir = makeFolder(QStringLiteral("runs"));
        const QString prefix = QStringLiteral("r");
        writeFile(dir + QLatin1Char('/') + dated(prefix, QDate::currentDate().addDays(-2)), 700);
        writeFile(dir + QLatin1Char('/') + dated(prefix, QDate::currentDate().addDays(-1)), 700);
        Log::Appender appender;
        appender.setLogThreshold(100);
        appender.setMaxLogSize(1000);
        appender.setLogsDirPath(dir);
        appender.setLogFileNamePrefix(prefix); // recounted for the new prefix
        QCOMPARE(appender.runningTotal(), 1400);
        writeMessage(appender, QStringLiteral("x"));
        QVERIFY(appender.runningTotal() <= 1000 - 100 + 2);
    }

    void truncateFileBegin_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("cut");
        QTest::newRow("30 of 100") << 100 << 30;
        QTest::newRow("more than a block") << 10000 << 4097;
        QTest::newRow("everything") << 50 << 50;
    }
    void truncateFileBegin()
    {
        QFETCH(int, size);
        QFETCH(int, cut);
        QByteArray content;
        for (int i = 0; i < size; ++i)
            content.append(char('a' + i % 26));
        const QString path = QDir::current().filePath(QStringLiteral("cut.bin"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();
        QCOMPARE(FileUtils::truncateFileBegin(path, cut), qint64(cut));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content.mid(cut));
        QVERIFY(!QFile::exists(path + QStringLiteral(".tmp")));
    }

    void truncateMissingFile()
    {
        const QString path = QDir::current().filePath(QStringLiteral("missing.log"));
        QCOMPARE(FileUtils::truncateFileBegin(path, 10), qint64(0));
        QVERIFY(!QFile::exists(path));
        QVERIFY(!QFile::exists(path + QStringLiteral(".tmp")));
    }

    void truncateKeepsFileWhenCopyFails()
    {
        const QString path = QDir::current().filePath(QStringLiteral("keep.log"));
        writeFile(path, 100);
        // A folder where the temporary file should go: the copy cannot be made.
        QDir().mkpath(path + QStringLiteral(".tmp"));
        QCOMPARE(FileUtils::truncateFileBegin(path, 30), qint64(0));
        QCOMPARE(QFileInfo(path).size(), qint64(100));
        QDir().rmdir(path + QStringLiteral(".tmp"));
    }

    void removeDirNeverFollowsLinks()
    {
        const QString outside = makeFolder(QStringLiteral("outside"));
        writeFile(outside + QStringLiteral("/precious.txt"), 5);
        const QString tree = makeFolder(QStringLiteral("tree"));
        QDir().mkpath(tree + QStringLiteral("/a/b"));
        writeFile(tree + QStringLiteral("/a/b/file.txt"), 5);
        writeFile(tree + QStringLiteral("/.hidden"), 5);
        QVERIFY(QFile::link(outside, tree + QStringLiteral("/a/link-to-outside")));
        QVERIFY(QFile::link(outside + QStringLiteral("/precious.txt"),
                            tree + QStringLiteral("/file-link")));
        QVERIFY(QFile::link(tree + QStringLiteral("/nowhere"), tree + QStringLiteral("/dangling")));

        QVERIFY(FileUtils::removeDir(tree));
        QVERIFY(!QFileInfo::exists(tree));
        QVERIFY(QFile::exists(outside + QStringLiteral("/precious.txt")));
        QVERIFY(FileUtils::removeDir(QDir::current().filePath(QStringLiteral("not-there"))));
    }
};

TOLVANE_TEST_MAIN(TestAppender)
#include "tst_appender.moc"
