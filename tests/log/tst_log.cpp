#include "log/appender.h"
#include "log/fileutils.h"
#include "log/logconfig.h"
#include "log/logger.h"
#include "log/loggerdata.h"
#include "support/testmain.h"

#include <cstdio>
#include <unistd.h>

Q_DECLARE_METATYPE(QtMsgType)

namespace {

using Ints = QList<int>;
QStringList s_lines; // the messages handed to Qt, each after its message type's number

void capture(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    s_lines.append(QString::number(type) + text);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Takes what the process writes to one of its standard streams, from construction until take().
class StreamCapture
{
public:
    explicit StreamCapture(FILE *stream) : m_stream(stream), m_fd(::fileno(stream))
    {
        std::fflush(m_stream);
        if (m_file.open()) {
            m_saved = ::dup(m_fd);
            ::dup2(m_file.handle(), m_fd);
        }
    }
    ~StreamCapture() { take(); }
    StreamCapture(const StreamCapture &) = delete;
    StreamCapture &operator=(const StreamCapture &) = delete;

    QByteArray take()
    {
        if (m_saved < 0)
            return {};
        std::fflush(m_stream);
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        m_saved = -1;
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    FILE *m_stream;
    int m_fd;
    int m_saved = -1;
    QTemporaryFile m_file;
};

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
        QVERIFY(Log::LoggerData::getLoggerData(" \t ") == root);
        // "::", "<" and "(" hang a name under the text before the last of them.
        Log::Logger("Tree::B").setLevel(Log::TRACE);
        QVERIFY(Log::Logger("Tree::B<int>").isTrace() && Log::Logger("Tree::B(int::x)").isTrace());
    }

    void lineText()
    {
        const Log::Logger logger("L");
        logger.setLevel(Log::DEBUG);
        s_lines.clear();
        int object = 0;
        logger.debug(&object) << "a" << QStringLiteral("b \"c\"\\n") << QByteArray("d") << true
                              << -5 << 18446744073709551615ULL << static_cast<void *>(nullptr)
                              << "utf-8 \xc3\xa9" << QAbstractSocket::RemoteHostClosedError
                              << QAbstractSocket::ConnectingState << QSslError::CertificateExpired
                              << QNetworkReply::ContentNotFoundError << QEvent::Timer;
        // Each line: Qt's message type (added here), the local time, the header, the items.
        s_lines.replaceInStrings(QRegularExpression("^0\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d"),
                                 "0");
        const QString thread = QString::number(quintptr(QThread::currentThreadId()), 16);
        QCOMPARE(s_lines,
                 QStringList({QStringLiteral("0: DEBUG 0x%1 [ L(0x%2) ] a \"b \"c\"\\n\" \"d\" "
                                             "true -5 18446744073709551615 0x0 utf-8 é "
                                             "QAbstractSocket::RemoteHostClosedError "
                                             "QAbstractSocket::ConnectingState "
                                             "\"The certificate has expired\" 203 1")
                                  .arg(thread)
                                  .arg(quintptr(&object), 0, 16)}));
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
        row("CRLF line ends", "Cfg::C=TRACE\r\nCfg::C=WARN\r\n", "Cfg::C", "0i1w");
        row("blanks, tabs, comment", " \tCfg::B \t= \tWARN \t# note=TRACE\r\n", "Cfg::B", "0i1w");
        row("lower case label", "Cfg::D=trace\n", "Cfg::D", "");
        row("last line without line end", "# comment\nCfg::F=DEBUG", "Cfg::F", "0i1w2e0d");
        row("name then comment stops reading", "Cfg::G\n# x\n=TRACE\n", "Cfg::G", "");
        row("ancestor after descendant", "Cfg::H::V=TRACE\nCfg::H=ERROR\n", "Cfg::H::V", "0i1w2e");
        row("ROOT", "ROOT=TRACE\n", "", "0i1w2e0d0t");
    }
    void configure()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, logger);
        QFETCH(QString, written);
        const Log::Logger handle(logger);
        handle.setLevel(Log::NONE);
        // In a folder with a non-ASCII name: the path goes over in the file-system encoding.
        const QString path = QDir::current().filePath("dossier-é/log.cfg");
        QVERIFY(QDir().mkpath("dossier-é") && writeFile(path, content));
        s_lines.clear();
        Log::configure(QFile::encodeName(path).toStdString());
        handle.info() << "i";
        handle.warn() << "w";
        handle.error() << "e";
        handle.debug() << "d";
        handle.trace() << "t";
        // Nothing else: the reader's complaints go to the console, never into the log.
        QCOMPARE(s_lines.replaceInStrings(QRegularExpression("^(\\d).*(.)$"), "\\1\\2").join(""),
                 written);
    }

    void appenderWritesLines_data()
    {
        // Every line goes to the day's file and to the console: DEBUG and INFO (Qt's debug
        // messages) to the standard output, WARN and ERROR to the standard error only.
        QTest::addColumn<QtMsgType>("type");
        QTest::addColumn<bool>("toStderr");
        QTest::newRow("debug") << QtDebugMsg << false;
        QTest::newRow("info") << QtInfoMsg << false;
        QTest::newRow("warning") << QtWarningMsg << true;
        QTest::newRow("critical") << QtCriticalMsg << true;
    }
    void appenderWritesLines()
    {
        QFETCH(QtMsgType, type);
        QFETCH(bool, toStderr);
        const QString dir = QDir::current().filePath(QTest::currentDataTag() + QString("/logs"));
        Log::Appender appender;
        appender.setLogFileNamePrefix("tolvanemail_connect");
        appender.setLogsDirPath(dir + '/');
        StreamCapture out(stdout);
        StreamCapture err(stderr);
        appender.write(type, {}, "ab");
        appender.write(type, {}, "é");
        const QByteArray lines = "ab\n\xc3\xa9\n";
        QCOMPARE(out.take(), toStderr ? QByteArray() : lines);
        QCOMPARE(err.take(), toStderr ? lines : QByteArray());
        QCOMPARE(appender.runningTotal(), 6); // UTF-8 bytes and the line feeds
        QCOMPARE(appender.logsDirPath(), dir);
        QFile file(dir + "/tolvanemail_connect_" +
                   QLocale::c().toString(QDate::currentDate(), "yyMMdd") + ".log");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), lines);
    }

    void appenderUpkeep_data()
    {
        QTest::addColumn<Ints>("ages"); // in days, oldest first; age 0 is today's file
        QTest::addColumn<Ints>("sizes");
        QTest::addColumn<Ints>("after"); // -1: deleted
        // A limit of 7 days, a maximum of 10000 bytes, a threshold of 1000; the message adds 6.
        QTest::newRow("seventh day") << Ints{7, 6, 0} << Ints{10, 10, 0} << Ints{-1, 10, 6};
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
        QStringList paths;
        for (int i = 0; i < ages.size(); ++i) {
            paths << dir.filePath(
                QLocale::c().toString(QDate::currentDate().addDays(-ages[i]), "'s_'yyMMdd'.log'"));
            QVERIFY(writeFile(paths.last(), QByteArray(sizes[i], 'x')));
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
    }

    // Nothing is cut from a file that is not there, so nothing comes off the running total.
    void truncateMissingFile() { QCOMPARE(FileUtils::truncateFileBegin("missing.log", 9), 0); }

    // A link is removed, never followed: one inside the folder, and one in the folder's place.
    void removeDirNeverFollowsLinks_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("removed"); // the path given to removeDir
        QTest::newRow("inside") << "tree/a/link"
                                << "tree";
        QTest::newRow("in the folder's place") << "top"
                                               << "top";
        QTest::newRow("in the folder's place, with a slash") << "top"
                                                             << "top/";
    }
    void removeDirNeverFollowsLinks()
    {
        QFETCH(QString, link);
        QFETCH(QString, removed);
        QVERIFY(QDir().mkpath("tree/a/b") && QDir().mkpath("outside"));
        QVERIFY(writeFile("outside/precious", "5") && writeFile("tree/a/b/.hidden", "5"));
        QVERIFY(QFile::link(QDir::current().filePath("outside"), link));
        QVERIFY(FileUtils::removeDir(QDir::current().filePath(removed)));
        QVERIFY(!QFileInfo(removed).exists() && !QFileInfo(removed).isSymLink());
        QVERIFY(QFile::exists("outside/precious"));
        QVERIFY(FileUtils::removeDir(QDir::current().filePath("tree")));
    }
};

TOLVANE_TEST_MAIN(TestLog)
#include "tst_log.moc"
