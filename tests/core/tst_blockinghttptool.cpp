#include "core/blockinghttptool.h"
#include "support/httpstubserver.h"
#include "support/testmain.h"

using TestSupport::HttpStubServer;
using Response = HttpStubServer::Response;

class TestBlockingHTTPTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void get_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Response>("response");
        QTest::addColumn<int>("timeout");
        const auto row = [](const char *name, const QString &path, const QByteArray &target,
                            const QByteArray &body, const Response &response = Response::ok("x"),
                            int timeout = 20000) {
            QTest::newRow(name) << path << target << body << response << timeout;
        };
        const QByteArray limit(BlockingHTTPTool::kMaxBodySize, 'x');
        Response late = Response::withStatus(404, "Not Found", "page");
        late.bodyDelayMs = 300;
        // Headers and 5 of the 11 body bytes, then a stall, or a close.
        Response stalled = Response::ok("1.2.3.4.5.6");
        stalled.bodySent = 5;
        Response cut = stalled;
        cut.closeAfter = true;
        row("seven bytes", "/ip", "/ip", "1.2.3.4", Response::ok("1.2.3.4"));
        row("error page after its head", "/", "/", "page", late);
        row("body at the limit", "/", "/", limit, Response::ok(limit));
        row("body one above", "/", "/", "", Response::ok(limit + 'x'));
        row("answer after the time-out", "/", "/", "", Response::ok("late", 3000), 500);
        row("body stalls", "/", "/", "", stalled, 1500);
        row("body cut", "/", "/", "", cut);
        row("gzip body broken midway", "/", "/", "", Response::gzipBrokenAfter("203.0.113.7"));
        row("space", "/a b", "/a%20b", "x");
        row("encoded space", "/a%20b", "/a%20b", "x");
        row("excepted", "/Az09-._~!$&'()*+,;=:@/x", "/Az09-._~!$&'()*+,;=:@/x", "x");
        row("non-ASCII and query", "/\u00e4 q?x=1", "/%C3%A4%20q?x=1", "x");
    }

    void get()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, body);
        QFETCH(Response, response);
        QFETCH(int, timeout);
        HttpStubServer server;
        QVERIFY(server.listenHttp());
        server.enqueue(response);
        server.enqueue(Response::ok("next"));
        auto tool = std::make_unique<BlockingHTTPTool>();
        QCOMPARE(tool->get(server.url(path), timeout), body);
        const HttpStubServer::Request request = server.requests().value(0);
        QCOMPARE(request.method + ' ' + request.target, "GET " + target);
        QVERIFY(request.header("Authorization").isNull());
        // Nothing of this request is left over for the next one.
        QCOMPARE(tool->get(server.url(), 20000), QByteArray("next"));
        tool.reset();
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 10000);
    }
};

TOLVANE_TEST_MAIN(TestBlockingHTTPTool)
#include "tst_blockinghttptool.moc"
