#include "core/multipartform.h"
#include "support/certificatefactory.h"
#include "support/httpstubserver.h"
#include "support/testmain.h"

using TestSupport::CertificateFactory;
using TestSupport::HttpStubServer;
using Response = HttpStubServer::Response;

namespace {
struct Upload
{
    MultipartForm form;
    QSignalSpy success{&form, &MultipartForm::success};
    QSignalSpy fail{&form, &MultipartForm::fail};

    int emitted() const { return success.count() + fail.count(); }
    // Sends and waits for the outcome: "success" or "fail" ("" when none, or more than one, came).
    QString send(const QString &url, const QString &user = "", const QString &password = "",
                 MultipartForm::Method method = MultipartForm::kPost)
    {
        const int successes = success.count(), before = emitted();
        form.send(url, method, user, password);
        (void)QTest::qWaitFor([&] { return emitted() > before; }, 20000);
        return emitted() != before + 1 ? "" : success.count() > successes ? "success" : "fail";
    }
};
} // namespace

class TestMultipartForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<HttpStubServer> m_server;

    QString file(const QString &name, const QByteArray &contents = "data")
    {
        QFile out(m_dir->filePath(name));
        return out.open(QIODevice::WriteOnly) && out.write(contents) > 0 ? out.fileName() : "";
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<HttpStubServer>();
        QVERIFY(m_server->listenHttp());
    }

    void bodyOnTheWire()
    {
        const QByteArray contents("\x00\x01key\r\n--not a boundary", 24);
        const QString path = file("keystore.bin", contents);
        Upload upload;
        upload.form.cancel(); // while idle: the next send forgets it
        upload.form.addFile("keystore", path, "application/octet-stream", false);
        upload.form.addAttribute("a", "first");
        upload.form.addAttribute("b", "gr\u00fc\u00df \u20ac");
        QCOMPARE(upload.send(m_server->url("/keys"), "", "", MultipartForm::kPut), "success");
        const HttpStubServer::Request request = m_server->requests().value(0);
        QCOMPARE(request.method + ' ' + request.target, QByteArray("PUT /keys"));
        QVERIFY(request.header("Authorization").isNull());
        const QByteArray type = request.header("Content-Type");
        QVERIFY2(type.startsWith("multipart/form-data; boundary="), type);
        const QByteArray boundary = "--" + type.mid(type.indexOf('=') + 1).replace("\"", "");
        // The fields in their order, then the files, each part's headers as given.
        QCOMPARE(request.body,
                 boundary + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nfirst\r\n" +
                     boundary + "\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n" +
                     "gr\xc3\xbc\xc3\x9f \xe2\x82\xac\r\n" + boundary +
                     "\r\nContent-Type: application/octet-stream\r\nContent-Disposition: "
                     "form-data; name=\"keystore\"; filename=\"keystore.bin\"\r\n\r\n" +
                     contents + "\r\n" + boundary + "--\r\n");
        QVERIFY(QFile::exists(path)); // not marked for removal
    }

    void outcome_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("credentials"); // user name, colon, password
        // The server's identity: 0 a leaf of the test CA, 1 a leaf of another CA, 2 self-signed, 3
        // a leaf of the test CA when the form trusts the platform's CAs only; -1 plain http.
        QTest::addColumn<int>("identity");
        QTest::addColumn<int>("errorCode");
        QTest::addColumn<int>("networkError");
        // The part of the form given the text: field name, file field, file name, content type.
        QTest::addColumn<int>("part");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, int code, const char *credentials = "",
                            Response response = Response::ok("answer \xe9"), int networkError = 0,
                            int identity = 0, int part = 0, const char *text = "a") {
            QTest::newRow(name) << response << credentials << identity << code << networkError
                                << part << text;
        };
        const auto status = [](int code) { return Response::withStatus(code, "S", "answer \xe9"); };
        row("200", 0);
        row("201, user and password", 0, "alice:s3cret:x", status(201));
        row("204, empty password", 0, "bob:", status(204));
        row("Latin-1 credentials", 0, "j\u00fcrgen:p\u00e4ss");
        // Statuses that Qt does not report as network errors reach the status check.
        row("302", 3, "", status(302));
        row("304", 3, "", status(304));
        row("404", 2, "", status(404), QNetworkReply::ContentNotFoundError);
        row("599", 2, "", status(599), QNetworkReply::UnknownServerError);
        // A challenge is answered by an abort: the credentials are not offered again.
        Response challenge = status(401);
        challenge.headers = "WWW-Authenticate: Basic realm=\"stub\"\r\n";
        row("challenge", 2, "alice:wrong", challenge, QNetworkReply::OperationCanceledError);
        // The client turns the handshake down: nothing, the password least of all, goes out.
        const int refused = QNetworkReply::SslHandshakeFailedError;
        row("leaf of another CA", 2, "alice:secret", status(200), refused, 1);
        row("self-signed", 2, "alice:secret", status(200), refused, 2);
        row("test CA not among the platform's", 2, "alice:secret", status(200), refused, 3);
        // Refused before anything is sent.
        row("credentials over http", 6, "alice:secret", status(200), 0, -1);
        row("quote in a field", 6, "", status(200), 0, 0, 0, "a\"b");
        row("CR in a field", 6, "", status(200), 0, 0, 0, "a\rb");
        row("LF in a field", 6, "", status(200), 0, 0, 0, "a\nX: 1");
        row("quote in a file field", 6, "", status(200), 0, 0, 1, "f\"");
        row("LF in a file name", 6, "", status(200), 0, 0, 2, "f\n.txt");
        row("LF in a content type", 6, "", status(200), 0, 0, 3, "text/plain\r\nX: 1");
        row("missing file", 1, "", status(200), 0, 0, 4, "missing.bin");
    }

    void outcome()
    {
        QFETCH(Response, response);
        QFETCH(QString, credentials);
        QFETCH(int, identity);
        QFETCH(int, errorCode);
        QFETCH(int, networkError);
        QFETCH(int, part);
        QFETCH(QString, text);
        const TestSupport::TestIdentity *servers[] = {
            &CertificateFactory::leaf(), &CertificateFactory::foreignLeaf(),
            &CertificateFactory::homeBridge(0), &CertificateFactory::leaf()};
        HttpStubServer https;
        QVERIFY(identity < 0
                    ? https.listenHttp()
                    : https.listenHttps(servers[identity]->key, servers[identity]->certificate));
        https.setDefaultResponse(response);
        QStringList parts{"a", "keystore", "marked.bin", "application/octet-stream", ""};
        parts[part] = text;
        const QString marked = part == 4 ? m_dir->filePath(text) : file(parts[2]);
        Upload upload;
        if (identity != 3)
            upload.form.setCaCertificates({CertificateFactory::ca().certificate});
        upload.form.addAttribute(parts[0], "v");
        upload.form.addFile(parts[1], marked, parts[3], true);
        const QString user = credentials.section(':', 0, 0);
        QCOMPARE(upload.send(https.url(), user, credentials.section(':', 1)),
                 errorCode ? "fail" : "success");
        QCOMPARE(int(upload.form.errorCode()), errorCode);
        QCOMPARE(upload.form.networkErrorCode(), networkError);
        if (errorCode == MultipartForm::kHttpStatusError)
            QCOMPARE(upload.form.errorString(),
                     QString("HTTP Status code: %1").arg(response.status));
        if (errorCode == MultipartForm::kNoError && response.status != 204)
            QCOMPARE(upload.form.response(), QString::fromLatin1(response.body));
        QVERIFY(!upload.form.isBusy());
        QVERIFY(!QFile::exists(marked));
        const bool refused = errorCode == MultipartForm::kFileNotFound ||
                             errorCode == MultipartForm::kInvalidRequest ||
                             networkError == QNetworkReply::SslHandshakeFailedError;
        QCOMPARE(https.requests().size(), refused ? 0 : 1);
        for (const HttpStubServer::Request &request : https.requests())
            QCOMPARE(request.method + ' ' + request.header("Authorization"),
                     "POST " +
                         (user.isEmpty() ? "" : "Basic " + credentials.toLatin1().toBase64()));
    }

    // A send between a reply's error and its end, refused or accepted, reports its own outcome,
    // and the end still reports the earlier request's failure: once each, each with its own code.
    void sendBeforeTheEnd_data()
    {
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QList<int>>("codes"); // error and network error codes at each fail()
        const int notFound = QNetworkReply::ContentNotFoundError;
        QTest::newRow("refused") << false
                                 << QList<int>{MultipartForm::kFileNotFound, 0,
                                               MultipartForm::kNetworkError, notFound};
        QTest::newRow("accepted") << true << QList<int>{MultipartForm::kNetworkError, notFound};
    }
    void sendBeforeTheEnd()
    {
        QFETCH(bool, accepted);
        QFETCH(QList<int>, codes);
        m_server->enqueue(Response::withStatus(404, "Not Found", "page"));
        Upload upload;
        QList<int> actual;
        connect(&upload.form, &MultipartForm::fail, this,
                [&] { actual << upload.form.errorCode() << upload.form.networkErrorCode(); });
        upload.form.addAttribute("a", "v");
        upload.form.send(m_server->url(), MultipartForm::kPost, "", "");
        const QPointer<QNetworkReply> reply = upload.form.findChild<QNetworkReply *>();
        QVERIFY(reply);
        const QString second = accepted ? file("second.bin") : m_dir->filePath("missing.bin");
        connect(reply, &QNetworkReply::errorOccurred, this, [&] {
            upload.form.addFile("f", second, "text/plain", false);
            upload.form.send(m_server->url("/second"), MultipartForm::kPost, "", "");
        });
        QTRY_VERIFY_WITH_TIMEOUT(!reply && !upload.form.isBusy(), 20000); // both ended
        QCOMPARE(actual, codes);
        QCOMPARE(upload.success.count(), accepted ? 1 : 0);
    }

    void abandoned()
    {
        m_server->setDefaultResponse(Response::ok("late", 600000));
        for (const bool destroy : {false, true}) {
            const QString marked = file("upload.zip"), kept = file("kept.txt");
            auto upload = std::make_unique<Upload>();
            upload->form.addFile("report", marked, "application/zip", true);
            upload->form.addFile("log", kept, "text/plain", false);
            upload->form.send(m_server->url("/first"), MultipartForm::kPost, "", "");
            QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), destroy ? 2 : 1, 20000);
            upload->form.send(m_server->url("/second"), MultipartForm::kPost, "", ""); // refused
            QCOMPARE(upload->form.url(), m_server->url("/first"));
            upload->form.clear(); // the caller emptying the form does not keep the marked file
            destroy ? upload.reset() : upload->form.cancel();
            QVERIFY(!QFile::exists(marked) && QFile::exists(kept));
            QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, 20000);
            QCOMPARE(upload ? upload->emitted() : 0, 0);
        }
    }
};

TOLVANE_TEST_MAIN(TestMultipartForm)
#include "tst_multipartform.moc"
