#include "core/multipartform.h"
#include "support/certificatefactory.h"
#include "support/httpstubserver.h"
#include "support/testmain.h"

using TestSupport::CertificateFactory;
using TestSupport::HttpStubServer;
using Response = HttpStubServer::Response;

namespace {
// A form with spies on its two outcome signals.
struct Upload
{
    MultipartForm form;
    QSignalSpy success{&form, &MultipartForm::success};
    QSignalSpy fail{&form, &MultipartForm::fail};

    void send(const QString &url, const QString &user = QString())
    {
        form.send(url, MultipartForm::kPost, user, QStringLiteral("secret"));
    }
    // Waits for the send's signal: "success" or "fail" ("" when none, or more than one, came).
    QString outcome()
    {
        (void)QTest::qWaitFor([this] { return emitted() > 0; }, 20000);
        return emitted() != 1 ? QString() : success.isEmpty() ? "fail" : "success";
    }
    int emitted() const { return success.count() + fail.count(); }
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
        return out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size()
                   ? out.fileName()
                   : QString();
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
        m_server->enqueue(Response::ok("one;"));
        m_server->enqueue(Response::ok("two;"));
        m_server->enqueue(Response::ok("three"));
        const QByteArray contents("\x00\x01key\r\n--not a boundary", 24);
        const QString path = file("keystore.bin", contents);
        Upload upload;
        upload.form.cancel(); // while idle: the next send forgets it
        upload.form.addFile("keystore", path, "application/octet-stream", false);
        upload.form.addAttribute("a", "first");
        upload.form.addAttribute("b", "gr\u00fc\u00df \u20ac");
        upload.form.send(m_server->url("/keys"), MultipartForm::kPut, QString(), QString());
        QCOMPARE(upload.outcome(), "success");
        const HttpStubServer::Request request = m_server->requests().value(0);
        QCOMPARE(request.method + ' ' + request.target, QByteArray("PUT /keys"));
        QCOMPARE(request.headerCount("Authorization"), 0);
        const QByteArray type = request.header("Content-Type");
        QVERIFY2(type.startsWith("multipart/form-data; boundary="), type);
        const QByteArray boundary = "--" + type.mid(type.indexOf('=') + 1).replace("\"", "");
        // The fields in their order, then the files, each part's headers as given.
        QCOMPARE(
            request.body,
            boundary + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nfirst\r\n" +
                boundary + "\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n" +
                "gr\xc3\xbc\xc3\x9f \xe2\x82\xac\r\n" + boundary +
                "\r\nContent-Type: application/octet-stream\r\nContent-Disposition: form-data; "
                "name=\"keystore\"; filename=\"keystore.bin\"\r\n\r\n" +
                contents + "\r\n" + boundary + "--\r\n");
        QVERIFY(QFile::exists(path)); // not marked for removal
        // The parts stay for the next send; the answers add up until clear().
        upload.send(m_server->url());
        QTRY_COMPARE_WITH_TIMEOUT(upload.success.count(), 2, 20000);
        QCOMPARE(m_server->requests().at(1).method, QByteArray("POST"));
        QCOMPARE(m_server->requests().at(1).body.count("name=\"a\""), 1);
        QCOMPARE(upload.form.response(), QStringLiteral("one;two;"));
        upload.form.clear();
        upload.form.addAttribute("k", "v");
        upload.send(m_server->url());
        QTRY_COMPARE_WITH_TIMEOUT(upload.success.count(), 3, 20000);
        QCOMPARE(upload.form.response(), QStringLiteral("three"));
    }

    void outcome_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("credentials"); // user name, colon, password
        // The server's identity: 0 a leaf of the test CA, 1 a leaf of another CA, 2 self-signed, 3
        // a leaf of the test CA when the form trusts the platform's CAs only.
        QTest::addColumn<int>("identity");
        QTest::addColumn<int>("errorCode");
        QTest::addColumn<int>("networkError");
        const auto row = [](const char *name, const Response &response, const char *credentials,
                            int errorCode, int networkError = 0, int identity = 0) {
            QTest::newRow(name) << response << credentials << identity << errorCode << networkError;
        };
        const auto status = [](int code) { return Response::withStatus(code, "S", "answer \xe9"); };
        row("200", status(200), "", 0);
        row("201, user and password", status(201), "alice:s3cret:x", 0);
        row("204, empty password", status(204), "bob:", 0);
        row("Latin-1 credentials", status(200), "j\u00fcrgen:p\u00e4ss", 0);
        // Statuses that Qt does not report as network errors reach the status check.
        row("302", status(302), "", 3);
        row("304", status(304), "", 3);
        const int errors[][2] = {{400, QNetworkReply::ProtocolInvalidOperationError},
                                 {401, QNetworkReply::AuthenticationRequiredError},
                                 {403, QNetworkReply::ContentAccessDenied},
                                 {404, QNetworkReply::ContentNotFoundError},
                                 {409, QNetworkReply::ContentConflictError},
                                 {500, QNetworkReply::InternalServerError},
                                 {503, QNetworkReply::ServiceUnavailableError},
                                 {599, QNetworkReply::UnknownServerError}};
        for (const auto &error : errors)
            row(QByteArray::number(error[0]).constData(), status(error[0]), "", 2, error[1]);
        // A challenge is answered by an abort: the credentials are not offered again.
        row("challenge", Response::unauthorized(), "alice:wrong", 2,
            QNetworkReply::OperationCanceledError);
        // The client turns the handshake down: nothing, the password least of all, goes out.
        const int refused = QNetworkReply::SslHandshakeFailedError;
        row("leaf of another CA", status(200), "alice:secret", 2, refused, 1);
        row("self-signed", status(200), "alice:secret", 2, refused, 2);
        row("test CA not among the platform's", status(200), "alice:secret", 2, refused, 3);
    }

    void outcome()
    {
        QFETCH(Response, response);
        QFETCH(QString, credentials);
        QFETCH(int, identity);
        QFETCH(int, errorCode);
        QFETCH(int, networkError);
        const TestSupport::TestIdentity *servers[] = {
            &CertificateFactory::leaf(), &CertificateFactory::foreignLeaf(),
            &CertificateFactory::homeBridge(0), &CertificateFactory::leaf()};
        const TestSupport::TestIdentity &server = *servers[identity];
        HttpStubServer https;
        QVERIFY(https.listenHttps(server.key, server.certificate));
        https.setDefaultResponse(response);
        const QString marked = file("marked.bin");
        Upload upload;
        if (identity != 3)
            upload.form.setCaCertificates({CertificateFactory::ca().certificate});
        upload.form.addFile("keystore", marked, "application/octet-stream", true);
        const QString user = credentials.section(':', 0, 0);
        upload.form.send(https.url(), MultipartForm::kPost, user, credentials.section(':', 1));
        QCOMPARE(upload.outcome(), errorCode ? "fail" : "success");
        QCOMPARE(int(upload.form.errorCode()), errorCode);
        QCOMPARE(upload.form.networkErrorCode(), networkError);
        if (errorCode == MultipartForm::kHttpStatusError)
            QCOMPARE(upload.form.errorString(),
                     QString("HTTP Status code: %1").arg(response.status));
        if (errorCode == MultipartForm::kNoError && response.status != 204)
            QCOMPARE(upload.form.response(), QString::fromLatin1(response.body));
        QVERIFY(!upload.form.isBusy());
        QVERIFY(!QFile::exists(marked));
        QCOMPARE(https.requests().size(),
                 networkError == QNetworkReply::SslHandshakeFailedError ? 0 : 1);
        if (!https.requests().isEmpty())
            QCOMPARE(https.requests().first().header("Authorization"),
                     user.isEmpty() ? QByteArray() : "Basic " + credentials.toLatin1().toBase64());
    }

    void refusedBeforeSending_data()
    {
        // Which part of the form carries the text: a field name, a file field, a file name, a
        // content type, the user name (over plain http), or the path of a file that is missing.
        QTest::addColumn<int>("part");
        QTest::addColumn<QString>("text");
        QTest::newRow("quote in a field") << 0 << "a\"b";
        QTest::newRow("CR in a field") << 0 << "a\rb";
        QTest::newRow("LF in a field") << 0 << "a\nX: 1";
        QTest::newRow("quote in a file field") << 1 << "f\"";
        QTest::newRow("quote in a file name") << 2 << "f\".txt";
        QTest::newRow("LF in a file name") << 2 << "f\n.txt";
        QTest::newRow("LF in a content type") << 3 << "text/plain\r\nX: 1";
        QTest::newRow("credentials over http") << 4 << "alice";
        QTest::newRow("missing file") << 5 << "missing.bin";
    }

    void refusedBeforeSending()
    {
        QFETCH(int, part);
        QFETCH(QString, text);
        QStringList parts{"a", "f", "f.txt", "text/plain", "", ""};
        parts[part] = text;
        const QString marked = file("marked.bin");
        const QString path = part == 5 ? m_dir->filePath(text) : file(parts[2]);
        Upload upload;
        upload.form.addAttribute(parts[0], "v");
        upload.form.addFile("m", marked, "text/plain", true);
        upload.form.addFile(parts[1], path, parts[3], false);
        upload.send(m_server->url(), parts[4]);
        QCOMPARE(upload.fail.count(), 1);
        QCOMPARE(upload.emitted(), 1);
        QCOMPARE(upload.form.errorCode(),
                 part == 5 ? MultipartForm::kFileNotFound : MultipartForm::kInvalidRequest);
        if (part == 5)
            QCOMPARE(upload.form.errorString(), QString("The file %1 not found!").arg(path));
        QVERIFY(!QFile::exists(marked));
        // The next send is accepted, and it is the only one that reached the server.
        upload.form.clear();
        upload.send(m_server->url());
        QTRY_COMPARE_WITH_TIMEOUT(upload.success.count(), 1, 20000);
        QCOMPARE(m_server->acceptedConnections(), 1);
    }

    void abandoned_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("cancelled") << false;
        QTest::newRow("form destroyed") << true;
    }

    void abandoned()
    {
        QFETCH(bool, destroy);
        m_server->setDefaultResponse(Response::neverAnswer());
        HttpStubServer other;
        QVERIFY(other.listenHttp(QHostAddress("127.0.0.2")));
        const QString marked = file("upload.zip");
        const QString kept = file("kept.txt");
        auto upload = std::make_unique<Upload>();
        upload->form.addFile("report", marked, "application/zip", true);
        upload->form.addFile("log", kept, "text/plain", false);
        upload->send(m_server->url("/first"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 20000);
        // A second send while the first runs is refused.
        upload->send(other.url("/second"));
        QCOMPARE(upload->form.url(), m_server->url("/first"));
        QVERIFY(upload->form.isBusy());
        upload->form.clear(); // the caller emptying the form does not keep the marked file
        if (destroy)
            upload.reset();
        else
            upload->form.cancel();
        QVERIFY(!QFile::exists(marked));
        QVERIFY(QFile::exists(kept));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, 20000);
        QCOMPARE(upload ? upload->emitted() : 0, 0);
        QCOMPARE(other.acceptedConnections(), 0);
    }

    void sendBetweenErrorAndFinish()
    {
        // The error handler frees the form before its reply has finished, so a send may come in
        // between; the earlier reply's end must not be taken for the new request's.
        m_server->enqueue(Response::withStatus(404, "Not Found", "gone"));
        m_server->enqueue(Response::delayed(300, "second"));
        const QString first = file("first.bin");
        const QString second = file("second.bin");
        Upload upload;
        auto *manager = new QNetworkAccessManager;
        upload.form.setNetworkAccessManager(manager);
        upload.form.addFile("f", first, "application/octet-stream", true);
        upload.send(m_server->url());
        QPointer<QNetworkReply> earlier = manager->findChild<QNetworkReply *>();
        connect(earlier, &QNetworkReply::errorOccurred, this, [&] {
            upload.form.clear();
            upload.form.addFile("f", second, "application/octet-stream", true);
            upload.send(m_server->url());
        });
        QTRY_VERIFY_WITH_TIMEOUT(earlier.isNull(), 20000);
        // The earlier reply is gone; the new request still runs and keeps its file.
        QCOMPARE(upload.emitted(), 0);
        QVERIFY(!QFile::exists(first));
        QVERIFY(QFile::exists(second));
        QCOMPARE(upload.outcome(), "success");
        QCOMPARE(upload.form.response(), QStringLiteral("second"));
        QVERIFY(!QFile::exists(second));
    }

    void managerReplacedWhileBusy()
    {
        m_server->setDefaultResponse(Response::delayed(300, "done"));
        Upload upload;
        upload.send(m_server->url());
        QPointer<QNetworkAccessManager> first = upload.form.networkAccessManager();
        upload.form.setNetworkAccessManager(new QNetworkAccessManager);
        QVERIFY(first); // kept while its reply runs
        QCOMPARE(upload.outcome(), "success");
        QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 10000);
        QPointer<QNetworkAccessManager> second = upload.form.networkAccessManager();
        upload.form.setNetworkAccessManager(new QNetworkAccessManager);
        QVERIFY(second.isNull()); // an idle one goes at once
    }
};

TOLVANE_TEST_MAIN(TestMultipartForm)
#include "tst_multipartform.moc"
