#include "log/logconfig.h"
#include "log/logger.h"
#include "log/loggerdata.h"
#include "support/testmain.h"

#include <QRegularExpression>
#include <QTemporaryFile>

namespace {

struct Captured {
    QtMsgType type;
    QString text;
};
QList<Captured> s_captured;

void capture(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    s_captured.append({type, text});
}

enum class Plain { kZero, kOne, kTwo };
enum Unscoped { kAlpha = 3, kBeta = 42 };

QString configFile(const QByteArray &content)
{
    static int counter = 0;
    const QString path = QDir::current().filePath(QStringLiteral("log%1.cfg").arg(++counter));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(content);
    return path;
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        s_captured.clear();
        qInstallMessageHandler(capture);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void levelTable_data()
    {
        QTest::addColumn<int>("loggerLevel");
        QTest::addColumn<QString>("expected"); // which of i w e d t are written

        QTest::newRow("NONE") << int(Log::NONE) << "";
        QTest::newRow("INFO") << int(Log::INFO) << "i";
        QTest::newRow("WARN writes no error") << int(Log::WARN) << "iw";
        QTest::newRow("FATAL") << int(Log::FATAL) << "iw";
        QTest::newRow("ERROR") << int(Log::ERROR) << "iwe";
        QTest::newRow("DEBUG") << int(Log::DEBUG) << "iwed";
        QTest::newRow("TRACE") << int(Log::TRACE) << "iwedt";
        QTest::newRow("ALL equals TRACE") << int(Log::ALL) << "iwedt";
    }
    void levelTable()
    {
        QFETCH(int, loggerLevel);
        QFETCH(QString, expected);
        const Log::Logger logger("LevelTable");
        logger.setLevel(Log::Level(loggerLevel));
        logger.info() << "i";
        logger.warn() << "w";
        logger.error() << "e";
        logger.debug() << "d";
        logger.trace() << "t";
        QString written;
        for (const Captured &c : qAsConst(s_captured))
            written += c.text.right(1);
        QCOMPARE(written, expected);
        QCOMPARE(logger.isTrace(), expected.contains('t'));
    }

    void messageTypes()
    {
        const Log::Logger logger("MessageTypes");
        logger.setLevel(Log::TRACE);
        logger.info() << 1;
        logger.warn() << 2;
        logger.error() << 3;
        logger.debug() << 4;
        logger.trace() << 5;
        QCOMPARE(s_captured.size(), 5);
        const QtMsgType expected[] = {QtDebugMsg, QtWarningMsg, QtCriticalMsg, QtDebugMsg,
                                      QtDebugMsg};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(s_captured[i].type, expected[i]);
    }

    void headerFormat()
    {
        const Log::Logger logger("Header::Test");
        logger.setLevel(Log::DEBUG);
        int object = 0;
        logger.debug(&object) << "text" << QStringLiteral("quoted") << 7;
        logger.info();
        QCOMPARE(s_captured.size(), 2);

        const QString address = QStringLiteral("0x%1").arg(quintptr(&object), 0, 16);
        const QRegularExpression header(
            QStringLiteral("^(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d): DEBUG 0x[0-9a-f]+ "
                           "\\[ Header::Test\\(%1\\) \\] text \"quoted\" 7$")
                .arg(QRegularExpression::escape(address)));
        const auto match = header.match(s_captured[0].text);
        QVERIFY2(match.hasMatch(), qPrintable(s_captured[0].text));
        QVERIFY(QDateTime::fromString(match.captured(1), Qt::ISODate).isValid());
        // No object: no parentheses; no items: the line ends with " ]".
        QVERIFY2(s_captured[1].text.endsWith(QLatin1String(": INFO ") +
                                             QStringLiteral("0x%1").arg(
                                                 quintptr(QThread::currentThreadId()), 0, 16) +
                                             QLatin1String(" [ Header::Test ]")),
                 qPrintable(s_captured[1].text));
    }

    void itemFormats_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("expected");
        QTest::newRow("literal") << 0 << "plain text";
        QTest::newRow("QString quoted, not escaped") << 1 << "\"a \"b\"\\n\"";
        QTest::newRow("QByteArray quoted") << 2 << "\"bytes\"";
        QTest::newRow("bool") << 3 << "true false";
        QTest::newRow("integers") << 4 << "-5 4294967295 65535 -9000000000 18446744073709551615";
        QTest::newRow("scoped enum as number") << 5 << "2";
        QTest::newRow("unscoped enum as number") << 6 << "42";
        QTest::newRow("null pointer") << 7 << "0x0";
        QTest::newRow("char pointer") << 8 << "utf-8 \xc3\xa9";
    }
    void itemFormats()
    {
        QFETCH(int, which);
        QFETCH(QString, expected);
        const Log::Logger logger("Items");
        logger.setLevel(Log::DEBUG);
        {
            Log::Out out = logger.debug();
            switch (which) {
            case 0:
                out << "plain" << "text";
                break;
            case 1:
                out << QStringLiteral("a \"b\"\\n");
                break;
            case 2:
                out << QByteArray("bytes");
                break;
            case 3:
                out << true << false;
                break;
            case 4:
                out << -5 << 4294967295u << static_cast<unsigned short>(65535)
                    << -9000000000LL << 18446744073709551615ULL;
                break;
            case 5:
                out << Plain::kTwo;
                break;
            case 6:
                out << kBeta;
                break;
            case 7:
                out << static_cast<void *>(nullptr);
                break;
            case 8: {
                const char *text = "utf-8 \xc3\xa9";
                out << text;
                break;
            }
            }
        }
        QCOMPARE(s_captured.size(), 1);
        const QString text = s_captured[0].text;
        const QString items = text.mid(text.indexOf(QLatin1String(" ] ")) + 3);
        QCOMPARE(items, expected);
    }

    void copiesShareOneMessage()
    {
        const Log::Logger logger("Copies");
        logger.setLevel(Log::DEBUG);
        {
            Log::Out first = logger.debug();
            first << "one";
            {
                Log::Out second = first;
                second << "two";
            }
            QVERIFY(s_captured.isEmpty());
            first << "three";
        }
        QCOMPARE(s_captured.size(), 1);
        QVERIFY(s_captured[0].text.endsWith(QLatin1String("] one two three")));
    }

    void disabledMessageIsEmpty()
    {
        const Log::Logger logger("Disabled");
        logger.setLevel(Log::NONE);
        Log::Out out = logger.error();
        QVERIFY(!out.isEnabled());
        QVERIFY(!out.stream());
        out << "ignored" << QStringLiteral("too");
        QVERIFY(s_captured.isEmpty());
    }

    void treeAndPropagation()
    {
        const Log::Logger handler("Tree::V2::Handler");
        const Log::Logger v2("Tree::V2");
        const Log::Logger tree("Tree");
        const Log::Logger templ("Tree::Box<int>");
        const Log::Logger call("Tree::f(int::x)");

        tree.setLevel(Log::TRACE);
        QVERIFY(handler.isTrace());
        QVERIFY(v2.isTrace());
        QVERIFY(templ.isTrace());
        QVERIFY(call.isTrace());

        v2.setLevel(Log::WARN);
        QVERIFY(!handler.isTrace());
        QVERIFY(tree.isTrace());

        // A node created later copies its parent's flags at that moment.
        const Log::Logger late("Tree::V2::Late");
        QVERIFY(!late.isTrace());
        QVERIFY(Log::LoggerData::getLoggerData(QStringLiteral("Tree::V2::Late"))->isWarn());
        QVERIFY(!Log::LoggerData::getLoggerData(QStringLiteral("Tree::V2::Late"))->isError());

        // "<" hangs a name under the text before it; "(" likewise, unless a later "::" comes.
        QCOMPARE(Log::LoggerData::getLoggerData(QStringLiteral("Tree::Box"))->isTrace(), true);
        tree.setLevel(Log::INFO);
        QVERIFY(!Log::LoggerData::getLoggerData(QStringLiteral("Tree::Box<int>"))->isWarn());
        QVERIFY(!Log::LoggerData::getLoggerData(QStringLiteral("Tree::f(int"))->isWarn());
        QVERIFY(!call.isTrace());
    }

    void blankNameIsRoot()
    {
        QCOMPARE(Log::LoggerData::getLoggerData(QStringLiteral("  \t ")),
                 Log::LoggerData::getRootLoggerData());
        QCOMPARE(Log::LoggerData::getLoggerData(QString()), Log::LoggerData::getRootLoggerData());
    }

    void configure_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("logger");
        QTest::addColumn<int>("expectedLevel"); // -1: the level set before stays

        QTest::newRow("simple") << QByteArray("Cfg::A=TRACE\n") << "Cfg::A" << int(Log::TRACE);
        QTest::newRow("blanks and tabs") << QByteArray(" \tCfg::B \t= \tWARN \t\r\n") << "Cfg::B"
                                         << int(Log::WARN);
        QTest::newRow("comment after value") << QByteArray("Cfg::C=INFO# note=TRACE\n")
                                             << "Cfg::C" << int(Log::INFO);
        QTest::newRow("lower case label") << QByteArray("Cfg::D=trace\n") << "Cfg::D" << -1;
        QTest::newRow("second = joins the value") << QByteArray("Cfg::E=TRACE=ALL\n") << "Cfg::E"
                                                  << -1;
        QTest::newRow("last line without line end")
            << QByteArray("# comment\nCfg::F=DEBUG") << "Cfg::F" << int(Log::DEBUG);
        QTest::newRow("name runs on into next line")
            << QByteArray("Cfg::\n=TRACE\n") << "Cfg::" << int(Log::TRACE);
        QTest::newRow("name then comment stops reading")
            << QByteArray("Cfg::G\n# x\nCfg::G=TRACE\n") << "Cfg::G" << -1;
        QTest::newRow("ancestor after descendant overrides")
            << QByteArray("Cfg::H::V2=TRACE\nCfg::H=ERROR\n") << "Cfg::H::V2" << int(Log::ERROR);
        QTest::newRow("descendant after ancestor keeps its own")
            << QByteArray("Cfg::I=ERROR\nCfg::I::V2=TRACE\n") << "Cfg::I::V2" << int(Log::TRACE);
        QTest::newRow("missing label at end dropped") << QByteArray("Cfg::J=") << "Cfg::J" << -1;
    }
    void configure()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, logger);
        QFETCH(int, expectedLevel);

        const Log::Logger handle(logger);
        handle.setLevel(Log::NONE);
        Log::configure(QFile::encodeName(configFile(content)).toStdString());
        Log::LoggerData *node = Log::LoggerData::getLoggerData(logger);
        const int level = expectedLevel < 0 ? int(Log::NONE) : expectedLevel;
        QCOMPARE(node->isInfo(), level >= Log::INFO);
        QCOMPARE(node->isWarn(), level >= Log::WARN);
        QCOMPARE(node->isError(), level >= Log::ERROR);
        QCOMPARE(node->isDebug(), level >= Log::DEBUG);
        QCOMPARE(node->isTrace(), level >= Log::TRACE);
    }

    void configureRootNames_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("ROOT") << QByteArray("ROOT=TRACE\n");
        QTest::newRow("empty name") << QByteArray("=TRACE\n");
    }
    void configureRootNames()
    {
        QFETCH(QByteArray, content);
        Log::LoggerData *root = Log::LoggerData::getRootLoggerData();
        root->setLevel(Log::ERROR);
        Log::configure(QFile::encodeName(configFile(content)).toStdString());
        QVERIFY(root->isTrace());
        root->setLevel(Log::ERROR);
    }

    void configureMissingFileKeepsLevels()
    {
        const Log::Logger logger("Cfg::Missing");
        logger.setLevel(Log::WARN);
        Log::configure("/nonexistent/folder/log.cfg");
        Log::LoggerData *node = Log::LoggerData::getLoggerData(QStringLiteral("Cfg::Missing"));
        QVERIFY(node->isWarn());
        QVERIFY(!node->isError());
        QVERIFY(s_captured.isEmpty()); // its complaints go to the console, never the log
    }

    void configureNonLatinPath()
    {
        // The path is handed over in the file-system encoding, so non-ASCII folders work.
        QDir().mkpath(QStringLiteral("dossier-é"));
        const QString path = QDir::current().filePath(QStringLiteral("dossier-é/log.cfg"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("Cfg::Utf=DEBUG\n");
        file.close();
        const Log::Logger logger("Cfg::Utf");
        logger.setLevel(Log::NONE);
        Log::configure(QFile::encodeName(path).toStdString());
        QVERIFY(Log::LoggerData::getLoggerData(QStringLiteral("Cfg::Utf"))->isDebug());
    }

    void concurrentCreationAndLogging()
    {
        // Several threads creating the same loggers and logging at once must agree on one node.
        QList<Log::LoggerData *> seen[4];
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([t, &seen] {
                for (int i = 0; i < 200; ++i)
                    seen[t].append(Log::LoggerData::getLoggerData(
                        QStringLiteral("Concurrent::L%1::M").arg(i % 20)));
            }));
            threads.last()->start();
        }
        for (QThread *thread : threads) {
            QVERIFY(thread->wait(30000));
            delete thread;
        }
        for (int t = 1; t < 4; ++t)
            QCOMPARE(seen[t], seen[0]);
    }
};

TOLVANE_TEST_MAIN(TestLogger)
#include "tst_logger.moc"
