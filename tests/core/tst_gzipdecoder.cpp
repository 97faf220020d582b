#include "core/gzipdecoder.h"
#include "support/httpstubserver.h"
#include "support/testmain.h"

using TestSupport::HttpStubServer;

Q_DECLARE_METATYPE(GzipDecoder::State)

class TestGzipDecoder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void feed_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("chunk"); // fed in pieces of this many bytes
        QTest::addColumn<int>("limit");
        QTest::addColumn<GzipDecoder::State>("state");
        QTest::addColumn<QByteArray>("data"); // not checked while running
        const QByteArray text = "198.51.100.123";
        const QByteArray whole = HttpStubServer::gzip(text);
        QByteArray badCrc = whole;
        badCrc[badCrc.size() - 8] = char(badCrc.at(badCrc.size() - 8) ^ 1);
        const QByteArray twoMembers =
            HttpStubServer::gzip("198.51.") + HttpStubServer::gzip("100.123");
        const QByteArray full(4096, 'x');
        const auto row = [](const char *name, const QByteArray &input, int chunk, int limit,
                            GzipDecoder::State state, const QByteArray &data = QByteArray()) {
            QTest::newRow(name) << input << chunk << limit << state << data;
        };
        row("whole", whole, 1 << 20, 1024, GzipDecoder::kEnded, text);
        row("whole, byte by byte", whole, 1, 1024, GzipDecoder::kEnded, text);
        row("two members", twoMembers, 5, 1024, GzipDecoder::kEnded, text);
        row("cut", whole.left(24), 1 << 20, 1024, GzipDecoder::kRunning);
        row("second member cut", twoMembers.left(twoMembers.size() - 3), 7, 1024,
            GzipDecoder::kRunning);
        row("trailing garbage", whole + "junk", 1 << 20, 1024, GzipDecoder::kFailed);
        row("wrong check sum", badCrc, 1 << 20, 1024, GzipDecoder::kFailed);
        row("not gzip", text, 1 << 20, 1024, GzipDecoder::kFailed);
        row("empty", QByteArray(), 1 << 20, 1024, GzipDecoder::kRunning);
        row("output at the limit", HttpStubServer::gzip(full), 1 << 20, full.size(),
            GzipDecoder::kEnded, full);
        row("output one above", HttpStubServer::gzip(full + 'x'), 1 << 20, full.size(),
            GzipDecoder::kTooLarge);
        // 64 MiB of zeros from 64 KiB of input.
        row("bomb", HttpStubServer::gzip(QByteArray(1 << 20, '\0'), 64), 1 << 20, 4096,
            GzipDecoder::kTooLarge);
    }

    void feed()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, chunk);
        QFETCH(int, limit);
        QFETCH(GzipDecoder::State, state);
        QFETCH(QByteArray, data);
        GzipDecoder decoder(limit);
        for (int pos = 0; pos < input.size(); pos += chunk)
            decoder.feed(input.mid(pos, chunk));
        QCOMPARE(decoder.state(), state);
        if (state != GzipDecoder::kRunning)
            QCOMPARE(decoder.data(), data);
        // Inflating stops at the first byte past the limit, however much the input holds.
        QVERIFY2(decoder.inflatedSize() <= limit + 1,
                 qPrintable(QString::number(decoder.inflatedSize())));
    }
};

TOLVANE_TEST_MAIN(TestGzipDecoder)
#include "tst_gzipdecoder.moc"
