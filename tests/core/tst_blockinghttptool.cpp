#include "core/blockinghttptool.h"
#include "support/httpstubserver.h"
#include "support/messagerecorder.h"
#include "support/testmain.h"

using TestSupport::HttpStubServer;
using Response = HttpStubServer::Response;

class TestBlockingHTTPTool : public QObject
{
    Q_OBJECT

    static void row(const char *name, const QString &path, const Response &response,
                    const QByteArray &target, const QByteArray &body)
    {
        QTest::newRow(name) << path << response << target << body;
    }

private Q_SLOTS:
    void fetch_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<Response>("response");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("body");
        const QByteArray limit(BlockingHTTPTool::kMaxBodySize, 'x');
        Response late = Response::withStatus(404, "Not Found", "page");
        late.bodyDelayMs = 300;
        row("seven bytes", "/ip", Response::ok("1.2.3.4"), "/ip", "1.2.3.4");
        row("error page after its head", "/", late, "/", "page");
        row("error page with its head", "/", Response::withStatus(503, "Busy", "page"), "/",
            "page");
        row("body at the limit", "/", Response::ok(limit), "/", limit);
        row("body one above", "/", Response::ok(limit + 'x'), "/", QByteArray());
        row("space", "/a b", Response::ok("x"), "/a%20b", "x");
        row("encoded space", "/a%20b", Response::ok("x"), "/a%20b", "x");
        row("excepted", "/Az09-._~!$&'()*+,;=:@/x", Response::ok("x"), "/Az09-._~!$&'()*+,;=:@/x",
            "x");
        row("non-ASCII and query", "/\u00e4 q?x=1", Response::ok("x"), "/%C3%A4%20q?x=1", "x");
    }

    void fetch()
    {
        QFETCH(QString, path);
        QFETCH(Response, response);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, body);
        HttpStubServer server;
        QVERIFY(server.listenHttp());
        server.enqueue(response);
        server.enqueue(Response::ok("next"));
        BlockingHTTPTool tool;
        QCOMPARE(tool.get(server.url(path), 20000), body);
        const HttpStubServer::Request request = server.requests().value(0);
        QCOMPARE(request.method + ' ' + request.target, "GET " + target);
        QCOMPARE(request.headerCount("Authorization"), 0);
        // Nothing of this request is left over for the next one.
        QCOMPARE(tool.get(server.url(), 20000), QByteArray("next"));
    }

    void noBody_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<int>("timeout");
        QTest::addColumn<int>("loggedCode"); // -1: no error line
        QTest::newRow("no answer") << Response::neverAnswer() << 500 << -1;
        QTest::newRow("zero time-out") << Response::ok("late") << 0 << -1;
        QTest::newRow("closed at once")
            << Response::closeAtOnce() << 20000 << int(QNetworkReply::RemoteHostClosedError);
        QTest::newRow("refused") << Response() << 20000
                                 << int(QNetworkReply::ConnectionRefusedError);
    }

    void noBody()
    {
        QFETCH(Response, response);
        QFETCH(int, timeout);
        QFETCH(int, loggedCode);
        TestSupport::MessageRecorder recorder;
        HttpStubServer server;
        QVERIFY(server.listenHttp());
        server.setDefaultResponse(response);
        const QString url = server.url();
        if (loggedCode == QNetworkReply::ConnectionRefusedError)
            server.close();
        int ticks = 0; // the caller's thread handles its events while it waits
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(20);
        QVERIFY(BlockingHTTPTool::sget(url, timeout).isEmpty());
        if (response.behaviour == HttpStubServer::Behaviour::kNeverAnswer)
            QVERIFY(ticks > 0);
        const QStringList lines = recorder.matching({"ERROR", "[ BlockingHTTPTool ]"});
        QCOMPARE(lines.size(), loggedCode < 0 ? 0 : 1);
        if (loggedCode >= 0)
            QVERIFY(
                lines.first().endsWith(QString("Network Reply Error Code: %1").arg(loggedCode)));
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 10000); // the request is closed
    }
};

TOLVANE_TEST_MAIN(TestBlockingHTTPTool)
#include "tst_blockinghttptool.moc"
