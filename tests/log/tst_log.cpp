#include "log/appender.h"
#include "log/fileutils.h"
#include "log/logconfig.h"
#include "log/logger.h"
#include "log/loggerdata.h"
#include "support/testmain.h"

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

using Ints = QList<int>;
QStringList s_lines; // the messages handed to Qt, each after its message type's number

void capture(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    s_lines.append(QString::number(type) + text);
}

Log::LoggerData *node(const QString &name)
{
    return Log::LoggerData::getLoggerData(name);
}

void writeFile(const QString &path, int size)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'x')) == size);
}

// What reached the console stream fd, made a pipe, by the time the write returned.
template <typename Write> QByteArray echoed(int fd, Write write)
{
    int ends[2];
    std::fflush(nullptr);
    const int saved = ::dup(fd);
    if (::pipe2(ends, O_NONBLOCK) != 0 || ::dup2(ends[1], fd) < 0)
        return "no pipe";
    write();
    ::dup2(saved, fd);
    char text[64];
    const ssize_t size = ::read(ends[0], text, sizeof text);
    for (const int end : {saved, ends[0], ends[1]})
        ::close(end);
    return QByteArray(text, int(qMax<ssize_t>(size, 0)));
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qInstallMessageHandler(capture); }

    void tree()
    {
        Log::LoggerData *root = Log::LoggerData::getRootLoggerData();
        QVERIFY(root->isError() && !root->isDebug()); // until start-up sets it
        QVERIFY(node(" \t ") == root && node(QString()) == root);
        // "::", "<" and "(" hang a name under the text before the last of them.
        const Log::Logger call("Tree::f(int::x)"), box("Tree::B<int>");
        node("Tree")->setLevel(Log::TRACE);
        node("Tree::f(int")->setLevel(Log::INFO);
        node("Tree::B")->setLevel(Log::INFO);
        QVERIFY(!call.isTrace() && !box.isTrace() && node("Tree")->isTrace());
        // A node made later copies its parent's flags at that moment.
        QVERIFY(node("Tree::B::Late")->isInfo() && !node("Tree::B::Late")->isWarn());
    }

    void lineText()
    {
        const Log::Logger logger("L");
        logger.setLevel(Log::DEBUG);
        s_lines.clear();
        int object = 0;
        const char *utf8 = "utf-8 \xc3\xa9";
        logger.debug(&object) << "a" << QStringLiteral("b \"c\"\\n") << QByteArray("d") << true
                              << -5 << 18446744073709551615ULL << static_cast<void *>(nullptr)
                              << utf8;
        {
            Log::Out first = logger.info(); // copies share one message, out when the last goes
            Log::Out(first) << "one";
        }
        // Each line: Qt's message type (added here), the local time, the header, the items.
        for (QString &line : s_lines) {
            QVERIFY(QDateTime::fromString(line.mid(1, 19), Qt::ISODate).isValid());
            line.remove(1, 19);
        }
        const QString thread = QString::number(quintptr(QThread::currentThreadId()), 16);
        QCOMPARE(s_lines,
                 QStringList({QStringLiteral("0: DEBUG 0x%1 [ L(0x%2) ] a \"b \"c\"\\n\" \"d\" "
                                             "true -5 18446744073709551615 0x0 utf-8 é")
                                  .arg(thread)
                                  .arg(quintptr(&object), 0, 16),
                              "0: INFO 0x" + thread + " [ L ] one"}));
    }

    void configure_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("logger");  // empty: the root
        QTest::addColumn<QString>("written"); // by info, warn, error, debug, trace: Qt's type, item
        const auto row = [](const char *name, const char *content, const char *logger,
                            const char *written) {
            QTest::newRow(name) << QByteArray(content) << QString(logger) << QString(written);
        };
        row("simple", "Cfg::A=ALL\n", "Cfg::A", "0i1w2e0d0t");
        row("blanks and tabs", " \tCfg::B \t= \tWARN \t\r\n", "Cfg::B", "0i1w");
        row("comment after value", "Cfg::C=FATAL# note=TRACE\n", "Cfg::C", "0i1w");
        row("lower case label", "Cfg::D=trace\n", "Cfg::D", "");
        row("second = joins the value", "Cfg::E=TRACE=ALL\n", "Cfg::E", "");
        row("last line without line end", "# comment\nCfg::F=DEBUG", "Cfg::F", "0i1w2e0d");
        row("name runs on into next line", "Cfg::\n=INFO\n", "Cfg::", "0i");
        row("name then comment stops reading", "Cfg::G\n# x\n=TRACE\n", "Cfg::G", "");
        row("ancestor after descendant", "Cfg::H::V=TRACE\nCfg::H=ERROR\n", "Cfg::H::V", "0i1w2e");
        row("descendant after ancestor", "Cfg::I=ERROR\nCfg::I::V=TRACE\n", "Cfg::I::V",
            "0i1w2e0d0t");
        row("ROOT", "ROOT=TRACE\n", "", "0i1w2e0d0t");
        row("empty name is the root", "=DEBUG\n", "", "0i1w2e0d");
    }
    void configure()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, logger);
        QFETCH(QString, written);
        const Log::Logger handle(logger);
        handle.setLevel(Log::NONE);
        // In a folder with a non-ASCII name: the path goes over in the file-system encoding.
        QDir().mkpath("dossier-é");
        QFile file(QDir::current().filePath("dossier-é/log.cfg"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) > 0);
        file.close();
        s_lines.clear();
        Log::configure(QFile::encodeName(file.fileName()).toStdString());
        handle.info() << "i";
        handle.warn() << "w";
        handle.error() << "e";
        handle.debug() << "d";
        handle.trace() << "t";
        // Nothing else: the reader's complaints go to the console, never into the log.
        QCOMPARE(s_lines.replaceInStrings(QRegularExpression("^(\\d).*(.)$"), "\\1\\2").join(""),
                 written);
    }

    void concurrentCreation()
    {
        // Threads making the same loggers at once agree on one node per name, while the table
        // grows too.
        std::vector<Log::LoggerData *> seen[4];
        std::vector<std::thread> threads;
        for (auto &list : seen) {
            threads.emplace_back([&list] {
                for (int i = 0; i < 1500; ++i)
                    list.push_back(node(QStringLiteral("Concurrent::L%1::M").arg(i)));
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QVERIFY(seen[1] == seen[0] && seen[2] == seen[0] && seen[3] == seen[0]);
    }

    void appenderWritesLines()
    {
        const QString dir = QDir::current().filePath("fresh/logs");
        Log::Appender appender;
        appender.setLogFileNamePrefix("tolvanemail_connect");
        QCOMPARE(QDate(2015, 2, 3).toString(appender.logFileNamePattern()),
                 "tolvanemail_connect_150203.log");
        appender.setLogsDirPath(dir + '/');
        // Each line is in the console stream of its kind as soon as it is written.
        QCOMPARE(echoed(STDOUT_FILENO, [&] { appender.write(QtDebugMsg, {}, "ab"); }), "ab\n");
        QCOMPARE(echoed(STDERR_FILENO, [&] { appender.write(QtCriticalMsg, {}, "é"); }), "é\n");
        QCOMPARE(appender.runningTotal(), 6); // UTF-8 bytes and the line feeds
        QCOMPARE(appender.logsDirPath(), dir);
        QFile file(dir + '/' + QDate::currentDate().toString(appender.logFileNamePattern()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "ab\n\xc3\xa9\n");
    }

    void appenderUpkeep_data()
    {
        QTest::addColumn<Ints>("ages"); // in days, oldest first; age 0 is today's file
        QTest::addColumn<Ints>("sizes");
        QTest::addColumn<Ints>("after"); // -1: deleted
        // A limit of 7 days, a maximum of 10000 bytes, a threshold of 1000; the message adds 6.
        QTest::newRow("seventh day") << Ints{7, 6, 0} << Ints{10, 10, 0} << Ints{-1, 10, 6};
        QTest::newRow("below maximum") << Ints{2, 0} << Ints{1000, 8993} << Ints{1000, 8999};
        QTest::newRow("at maximum")
            << Ints{3, 2, 1, 0} << Ints{1000, 1000, 1000, 6994} << Ints{-1, 1000, 1000, 7000};
        QTest::newRow("oldest deleted, next cut")
            << Ints{3, 2, 1, 0} << Ints{600, 6000, 1000, 2395} << Ints{-1, 5599, 1000, 2401};
        QTest::newRow("today's file last") << Ints{1, 0} << Ints{500, 9494} << Ints{-1, 9000};
    }
    void appenderUpkeep()
    {
        QFETCH(Ints, ages);
        QFETCH(Ints, sizes);
        QFETCH(Ints, after);
        const QDir dir(QDir::current().filePath(QTest::currentDataTag()));
        QVERIFY(dir.mkpath("."));
        writeFile(dir.filePath("s_undated.log"), 0);
        QStringList paths;
        for (int i = 0; i < ages.size(); ++i) {
            paths << dir.filePath(
                QDate::currentDate().addDays(-ages[i]).toString("'s_'yyMMdd'.log'"));
            writeFile(paths.last(), sizes[i]);
        }
        Log::Appender appender;
        appender.setLogsDirPath(dir.path());
        appender.setLogFileNamePrefix("s"); // after the folder, as at start-up
        appender.setLogThreshold(1000);
        appender.setMaxLogSize(10000);
        appender.write(QtDebugMsg, {}, "12345");
        Ints actual;
        qint64 total = 0;
        for (const QString &path : qAsConst(paths)) {
            actual << (QFile::exists(path) ? int(QFileInfo(path).size()) : -1);
            total += qMax(actual.last(), 0);
        }
        QCOMPARE(actual, after);
        QCOMPARE(appender.runningTotal(), total); // the count follows the folder
        QVERIFY(QFile::exists(dir.filePath("s_undated.log")));
    }

    void truncateKeepsFileOnFailure()
    {
        const QString path = QDir::current().filePath("keep.log");
        QCOMPARE(FileUtils::truncateFileBegin(path, 10), 0); // missing: nothing is made
        QVERIFY(!QFile::exists(path) && !QFile::exists(path + ".tmp"));
        writeFile(path, 100);
        QVERIFY(QDir().mkpath(path + ".tmp")); // the copy cannot be made
        QCOMPARE(FileUtils::truncateFileBegin(path, 30), 0);
        QCOMPARE(QFileInfo(path).size(), 100);
    }

    void removeDirNeverFollowsLinks()
    {
        const QString tree = QDir::current().filePath("tree");
        QVERIFY(QDir().mkpath(tree + "/a/b") && QDir().mkpath("outside"));
        writeFile("outside/precious", 5);
        writeFile(tree + "/a/b/.hidden", 5);
        QVERIFY(QFile::link(QDir::current().filePath("outside"), tree + "/a/link"));
        QVERIFY(FileUtils::removeDir(tree));
        QVERIFY(!QFileInfo::exists(tree) && QFile::exists("outside/precious"));
        QVERIFY(FileUtils::removeDir(tree)); // a missing folder counts as removed
    }
};

TOLVANE_TEST_MAIN(TestLog)
#include "tst_log.moc"
