#include "core/blockinghttptool.h"
#include "support/httpstubserver.h"
#include "support/messagerecorder.h"
#include "support/testmain.h"

#include <QTcpServer>
#include <QTimer>
#include <QtTest>

using TestSupport::HttpStubServer;

class TestBlockingHTTPTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void body_data();
    void body();
    void neverAnsweringServerTimesOut();
    void zeroTimeoutEndsAtOnce();
    void failures_data();
    void failures();
    void pathIsEncodedOnce_data();
    void pathIsEncodedOnce();
    void toolIsReusable();
    void oversizedBodyIsDropped_data();
    void oversizedBodyIsDropped();
};

void TestBlockingHTTPTool::body_data()
{
    QTest::addColumn<HttpStubServer::Response>("response");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("200 with seven bytes") << HttpStubServer::Response::ok("1.2.3.4") << QByteArray("1.2.3.4");
    QTest::newRow("200, empty body") << HttpStubServer::Response::ok(QByteArray()) << QByteArray();
    QTest::newRow("200 after a short delay")
        << HttpStubServer::Response::delayed(100, "late but in time") << QByteArray("late but in time");
    QTest::newRow("binary body") << HttpStubServer::Response::ok(QByteArray("a\0b\r\nc", 6))
                                 << QByteArray("a\0b\r\nc", 6);
    // An error status still delivers its page, whenever Qt reports the error.
    for (int status : {400, 401, 403, 404, 410, 500, 503}) {
        HttpStubServer::Response split =
            HttpStubServer::Response::withStatus(status, "Status", "the page");
        split.bodyDelayMs = 300;
        QTest::addRow("%d, page after the headers", status) << split << QByteArray("the page");
        QTest::addRow("%d, page with the headers", status)
            << HttpStubServer::Response::withStatus(status, "Status", "the page")
            << QByteArray("the page");
    }
}

void TestBlockingHTTPTool::body()
{
    QFETCH(HttpStubServer::Response, response);
    QFETCH(QByteArray, expected);
    HttpStubServer server;
    QVERIFY(server.listenHttp());
    server.setDefaultResponse(response);

    const QByteArray result = BlockingHTTPTool::sget(server.url(QStringLiteral("/ip")), 20000);
    QCOMPARE(result, expected);
    QCOMPARE(server.requests().size(), 1);
    const HttpStubServer::Request request = server.requests().first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray("/ip"));
    QCOMPARE(request.headerCount("Authorization"), 0);
    QVERIFY(request.body.isEmpty());
}

void TestBlockingHTTPTool::neverAnsweringServerTimesOut()
{
    TestSupport::MessageRecorder recorder;
    HttpStubServer server;
    QVERIFY(server.listenHttp());
    server.setDefaultResponse(HttpStubServer::Response::neverAnswer());

    // The caller's thread keeps handling its own events while it waits.
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(20);
    const QByteArray result = BlockingHTTPTool::sget(server.url(), 500);
    ticker.stop();
    QVERIFY(result.isEmpty());
    QCOMPARE(server.requests().size(), 1);
    QVERIFY(ticks > 0);
    QCOMPARE(recorder.count({QStringLiteral("Network Reply Error Code:")}), 0);
    // The abandoned request is closed: the server sees the connection go.
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 10000);
}

void TestBlockingHTTPTool::zeroTimeoutEndsAtOnce()
{
    HttpStubServer server;
    QVERIFY(server.listenHttp());
    server.setDefaultResponse(HttpStubServer::Response::ok("too late"));
    QVERIFY(BlockingHTTPTool::sget(server.url(), 0).isEmpty());
}

void TestBlockingHTTPTool::failures_data()
{
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("code");
    QTest::newRow("refused port") << true << int(QNetworkReply::ConnectionRefusedError);
    QTest::newRow("closed at once") << false << int(QNetworkReply::RemoteHostClosedError);
}

void TestBlockingHTTPTool::failures()
{
    QFETCH(bool, refused);
    QFETCH(int, code);
    TestSupport::MessageRecorder recorder;
    HttpStubServer server;
    QString url;
    if (refused) {
        // A port that was just free and is closed again.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress(QStringLiteral("127.0.0.2"))));
        url = QStringLiteral("http://127.0.0.2:%1/").arg(probe.serverPort());
    } else {
        QVERIFY(server.listenHttp());
        server.setDefaultResponse(HttpStubServer::Response::closeAtOnce());
        url = server.url();
    }
    QVERIFY(BlockingHTTPTool::sget(url, 20000).isEmpty());
    const QStringList lines = recorder.matching(
        {QStringLiteral("[ BlockingHTTPTool"), QStringLiteral("Network Reply Error Code:")});
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QStringLiteral("ERROR")), qPrintable(lines.first()));
    QVERIFY2(lines.first().endsWith(QStringLiteral("Network Reply Error Code: %1").arg(code)),
             qPrintable(lines.first()));
}

void TestBlockingHTTPTool::pathIsEncodedOnce_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("space") << QStringLiteral("/a b") << QByteArray("/a%20b");
    QTest::newRow("already encoded space") << QStringLiteral("/a%20b") << QByteArray("/a%20b");
    QTest::newRow("unreserved and excepted characters")
        << QStringLiteral("/Az09-._~!$&'()*+,;=:@/x") << QByteArray("/Az09-._~!$&'()*+,;=:@/x");
    QTest::newRow("non-ASCII") << QStringLiteral("/\u00e4") << QByteArray("/%C3%A4");
    QTest::newRow("query kept") << QStringLiteral("/p q?x=1") << QByteArray("/p%20q?x=1");
}

void TestBlockingHTTPTool::pathIsEncodedOnce()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, target);
    HttpStubServer server;
    QVERIFY(server.listenHttp());
    server.setDefaultResponse(HttpStubServer::Response::ok("x"));
    QCOMPARE(BlockingHTTPTool::sget(server.url(path), 20000), QByteArray("x"));
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().first().target, target);
}

void TestBlockingHTTPTool::toolIsReusable()
{
    HttpStubServer server;
    QVERIFY(server.listenHttp());
    server.enqueue(HttpStubServer::Response::neverAnswer());
    server.enqueue(HttpStubServer::Response::ok("second"));
    BlockingHTTPTool tool;
    QVERIFY(tool.get(server.url(), 300).isEmpty());
    QCOMPARE(tool.get(server.url(), 20000), QByteArray("second"));
}

void TestBlockingHTTPTool::oversizedBodyIsDropped_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("kept");
    QTest::newRow("at the limit") << BlockingHTTPTool::kMaxBodySize << true;
    QTest::newRow("one byte above") << BlockingHTTPTool::kMaxBodySize + 1 << false;
    QTest::newRow("far above") << 8 * BlockingHTTPTool::kMaxBodySize << false;
}

void TestBlockingHTTPTool::oversizedBodyIsDropped()
{
    QFETCH(int, size);
    QFETCH(bool, kept);
    HttpStubServer server;
    QVERIFY(server.listenHttp());
    const QByteArray body(size, 'x');
    server.setDefaultResponse(HttpStubServer::Response::ok(body));
    TestSupport::MessageRecorder recorder;
    BlockingHTTPTool tool;
    QCOMPARE(tool.get(server.url(), 20000), kept ? body : QByteArray());
    QCOMPARE(recorder.count({QStringLiteral("WARN"), QStringLiteral("bytes dropped")}), kept ? 0 : 1);
    // The tool serves the next request normally.
    server.setDefaultResponse(HttpStubServer::Response::ok("next"));
    QCOMPARE(tool.get(server.url(), 20000), QByteArray("next"));
}

TOLVANE_TEST_MAIN(TestBlockingHTTPTool)
#include "tst_blockinghttptool.moc"
