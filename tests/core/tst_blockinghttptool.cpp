#include "core/blockinghttptool.h"
#include "support/httpstubserver.h"
#include "support/testmain.h"

using TestSupport::HttpStubServer;
using Response = HttpStubServer::Response;
using Framing = HttpStubServer::Framing;

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
        // The gzip of the address (34 bytes) cut after 24 bytes: with the length of the whole
        // and a close, with the length of what is sent, with no length and a close.
        const QByteArray ip = "198.51.100.123";
        Response gzipCut = Response::gzipOk(ip);
        gzipCut.bodySent = 24;
        gzipCut.closeAfter = true;
        Response gzipShort = Response::gzipOk(ip);
        gzipShort.body.truncate(24);
        Response gzipUnframed = gzipCut;
        gzipUnframed.framing = Framing::NoLength;
        const auto encoded = [](const QByteArray &body, const QByteArray &coding) {
            Response response = Response::ok(body);
            response.headers = "Content-Encoding: " + coding + "\r\n";
            return response;
        };
        const QByteArray zeros(1 << 20, '\0');
        // 10 of 14 bytes, and the close a while later.
        Response plainCut = Response::ok(ip);
        plainCut.bodySent = 10;
        plainCut.closeAfter = true;
        plainCut.closeDelayMs = 200;
        Response chunked = Response::ok(ip);
        chunked.framing = Framing::Chunked;
        row("seven bytes", "/ip", "/ip", "1.2.3.4", Response::ok("1.2.3.4"));
        row("error page after its head", "/", "/", "page", late);
        row("body at the limit", "/", "/", limit, Response::ok(limit));
        row("body one above", "/", "/", "", Response::ok(limit + 'x'));
        row("answer after the time-out", "/", "/", "", Response::ok("late", 3000), 500);
        row("body stalls", "/", "/", "", stalled, 1500);
        row("body cut", "/", "/", "", cut);
        row("gzip body broken midway", "/", "/", "", Response::gzipBrokenAfter("203.0.113.7"));
        row("gzip", "/", "/", ip, Response::gzipOk(ip));
        row("x-gzip", "/", "/", ip, encoded(HttpStubServer::gzip(ip), "X-Gzip"));
        row("gzip cut, whole length", "/", "/", "", gzipCut);
        row("gzip cut, its length", "/", "/", "", gzipShort);
        row("gzip cut, no length", "/", "/", "", gzipUnframed);
        // 64 MiB of zeros in 64 KiB.
        row("gzip bomb", "/", "/", "", encoded(HttpStubServer::gzip(zeros, 64), "gzip"));
        row("unknown encoding", "/", "/", "", encoded(ip, "br"));
        const QByteArray twice = HttpStubServer::gzip(HttpStubServer::gzip(ip));
        row("two encodings", "/", "/", "", encoded(twice, "gzip, gzip"));
        row("cut, late close", "/", "/", "", plainCut);
        row("chunked", "/", "/", ip, chunked);
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
        // Qt may send a request again after its answer was cut; the repeat is answered too.
        server.setDefaultResponse(Response::ok("next"));
        auto tool = std::make_unique<BlockingHTTPTool>();
        QCOMPARE(tool->get(server.url(path), timeout), body);
        const HttpStubServer::Request request = server.requests().value(0);
        QCOMPARE(request.method + ' ' + request.target, "GET " + target);
        QVERIFY(request.header("Authorization").isNull());
        QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));
        // Nothing of this request is left over for the next one.
        QCOMPARE(tool->get(server.url(), 20000), QByteArray("next"));
        tool.reset();
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 10000);
    }
};

TOLVANE_TEST_MAIN(TestBlockingHTTPTool)
#include "tst_blockinghttptool.moc"
