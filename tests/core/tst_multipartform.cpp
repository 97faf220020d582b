#include "core/multipartform.h"
#include "log/logger.h"
#include "support/certificatefactory.h"
#include "support/httpstubserver.h"
#include "support/messagerecorder.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using TestSupport::CertificateFactory;
using TestSupport::HttpStubServer;

class TestMultipartForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void textFieldsMakeTheBody();
    void filePartsFollowTheFields();
    void authorization_data();
    void authorization();
    void noCredentialsOverPlainHttp();
    void outcomes_data();
    void outcomes();
    void authenticationChallengeFails();
    void missingFileFailsBeforeSending();
    void unsafeNamesAreRefused_data();
    void unsafeNamesAreRefused();
    void secondSendWhileBusyIsRefused();
    void sendBetweenErrorAndFinish();
    void cancelGivesNoSignalAndRemovesFiles();
    void cancelWhileIdleIsHarmless();
    void replacingTheManagerWhileBusy();
    void certificates_data();
    void certificates();
    void responseGrowsUntilClear();
    void destroyedWhileBusy();

private:
    QString writeFile(const QString &relativePath, const QByteArray &contents);
    // Waits for the one signal of a send; true when it was success().
    static bool waitForOutcome(QSignalSpy &success, QSignalSpy &fail);
    static QByteArray boundaryOf(const HttpStubServer::Request &request);
    std::unique_ptr<HttpStubServer> httpsServer(const TestSupport::TestIdentity &identity);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<HttpStubServer> m_server;
};

void TestMultipartForm::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_server = std::make_unique<HttpStubServer>();
    QVERIFY(m_server->listenHttp());
}

void TestMultipartForm::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

QString TestMultipartForm::writeFile(const QString &relativePath, const QByteArray &contents)
{
    const QString path = m_dir->filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return QString();
    return path;
}

bool TestMultipartForm::waitForOutcome(QSignalSpy &success, QSignalSpy &fail)
{
    [&] { QTRY_VERIFY_WITH_TIMEOUT(success.count() + fail.count() > 0, 20000); }();
    return success.count() == 1 && fail.count() == 0;
}

QByteArray TestMultipartForm::boundaryOf(const HttpStubServer::Request &request)
{
    const QByteArray contentType = request.header("Content-Type");
    const int at = contentType.indexOf("boundary=");
    if (!contentType.startsWith("multipart/form-data") || at < 0)
        return QByteArray();
    QByteArray boundary = contentType.mid(at + 9).trimmed();
    if (boundary.startsWith('"') && boundary.endsWith('"'))
        boundary = boundary.mid(1, boundary.size() - 2);
    return boundary;
}

std::unique_ptr<HttpStubServer> TestMultipartForm::httpsServer(
    const TestSupport::TestIdentity &identity)
{
    auto server = std::make_unique<HttpStubServer>();
    if (identity.isNull() || !server->listenHttps(identity.key, identity.certificate))
        return nullptr;
    return server;
}

void TestMultipartForm::textFieldsMakeTheBody()
{
    MultipartForm form;
    QVERIFY(form.isEmpty());
    form.addAttribute(QStringLiteral("a"), QStringLiteral("first"));
    form.addAttribute(QStringLiteral("b"), QStringLiteral("gr\u00fc\u00df \u20ac"));
    QVERIFY(!form.isEmpty());
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(QStringLiteral("/report")), MultipartForm::kPost, QString(), QString());
    QVERIFY(form.isBusy());
    QVERIFY(waitForOutcome(success, fail));
    QCOMPARE(form.errorCode(), MultipartForm::kNoError);

    QCOMPARE(m_server->requests().size(), 1);
    const HttpStubServer::Request request = m_server->requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/report"));
    QCOMPARE(request.headerCount("Authorization"), 0);
    const QByteArray boundary = boundaryOf(request);
    QVERIFY2(!boundary.isEmpty(), request.head.constData());
    const QByteArray expected = "--" + boundary + "\r\n"
        + "Content-Disposition: form-data; name=\"a\"\r\n\r\nfirst\r\n"
        + "--" + boundary + "\r\n"
        + "Content-Disposition: form-data; name=\"b\"\r\n\r\n"
        + QStringLiteral("gr\u00fc\u00df \u20ac").toUtf8() + "\r\n"
        + "--" + boundary + "--\r\n";
    QCOMPARE(request.body, expected);
}

void TestMultipartForm::filePartsFollowTheFields()
{
    const QByteArray contents("\x00\x01key store\r\n--not a boundary", 30);
    const QString path = writeFile(QStringLiteral("deep/folder/keystore.bin"), contents);
    QVERIFY(!path.isEmpty());
    MultipartForm form;
    form.addFile(QStringLiteral("keystore"), path, QStringLiteral("application/octet-stream"),
                 false);
    form.addAttribute(QStringLiteral("publicKey"), QStringLiteral("PUBLIC"));
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(QStringLiteral("/keys")), MultipartForm::kPut, QString(), QString());
    QVERIFY(waitForOutcome(success, fail));

    const HttpStubServer::Request request = m_server->requests().value(0);
    QCOMPARE(request.method, QByteArray("PUT"));
    const QByteArray boundary = boundaryOf(request);
    QVERIFY(!boundary.isEmpty());
    const QByteArray expected = "--" + boundary + "\r\n"
        + "Content-Disposition: form-data; name=\"publicKey\"\r\n\r\nPUBLIC\r\n"
        + "--" + boundary + "\r\n"
        + "Content-Type: application/octet-stream\r\n"
        + "Content-Disposition: form-data; name=\"keystore\"; filename=\"keystore.bin\"\r\n\r\n"
        + contents + "\r\n"
        + "--" + boundary + "--\r\n";
    QCOMPARE(request.body, expected);
    QVERIFY(QFile::exists(path)); // not marked for removal
}

void TestMultipartForm::authorization_data()
{
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("no user name") << QString() << QStringLiteral("secret") << QByteArray();
    QTest::newRow("user and password")
        << QStringLiteral("alice") << QStringLiteral("s3cret:x")
        << QByteArray("Basic " + QByteArray("alice:s3cret:x").toBase64());
    QTest::newRow("empty password keeps the colon")
        << QStringLiteral("bob") << QString() << QByteArray("Basic " + QByteArray("bob:").toBase64());
    QTest::newRow("Latin-1 bytes")
        << QStringLiteral("j\u00fcrgen") << QStringLiteral("p\u00e4ss")
        << QByteArray("Basic " + QByteArray("j\xfcrgen:p\xe4ss").toBase64());
}

void TestMultipartForm::authorization()
{
    QFETCH(QString, userName);
    QFETCH(QString, password);
    QFETCH(QByteArray, header);
    auto server = httpsServer(CertificateFactory::leaf());
    QVERIFY(server);
    server->setDefaultResponse(HttpStubServer::Response::withStatus(201, "Created", "stored"));
    MultipartForm form;
    form.setCaCertificates({CertificateFactory::ca().certificate});
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(server->url(QStringLiteral("/keys")), MultipartForm::kPut, userName, password);
    QVERIFY2(waitForOutcome(success, fail), qPrintable(form.errorString()));
    QCOMPARE(server->requests().size(), 1);
    const HttpStubServer::Request request = server->requests().first();
    QCOMPARE(request.headerCount("Authorization"), header.isNull() ? 0 : 1);
    QCOMPARE(request.header("Authorization"), header);
}

void TestMultipartForm::noCredentialsOverPlainHttp()
{
    const QString marked = writeFile(QStringLiteral("store.bin"), "data");
    MultipartForm form;
    form.addFile(QStringLiteral("keystore"), marked, QStringLiteral("application/octet-stream"),
                 true);
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(QStringLiteral("/keys")), MultipartForm::kPut, QStringLiteral("alice"),
              QStringLiteral("secret"));
    QCOMPARE(fail.count(), 1);
    QCOMPARE(success.count(), 0);
    QCOMPARE(form.errorCode(), MultipartForm::kInvalidRequest);
    QVERIFY(form.errorString().contains(m_server->url(QStringLiteral("/keys"))));
    QVERIFY(!form.isBusy());
    QVERIFY(!QFile::exists(marked));
    QCoreApplication::processEvents();
    QCOMPARE(m_server->acceptedConnections(), 0);
}

void TestMultipartForm::outcomes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<int>("networkErrorCode");
    QTest::addColumn<QString>("errorText");

    QTest::newRow("200") << 200 << true << 0 << 0 << QString();
    QTest::newRow("201") << 201 << true << 0 << 0 << QString();
    QTest::newRow("204") << 204 << true << 0 << 0 << QString();
    // Statuses Qt does not turn into a network error reach the status check.
    QTest::newRow("302") << 302 << false << 3 << 0 << QStringLiteral("HTTP Status code: 302");
    QTest::newRow("304") << 304 << false << 3 << 0 << QStringLiteral("HTTP Status code: 304");
    // Qt reports error statuses as network errors before the reply finishes.
    QTest::newRow("400") << 400 << false << 2 << int(QNetworkReply::ProtocolInvalidOperationError)
                         << QString();
    QTest::newRow("401 without a challenge")
        << 401 << false << 2 << int(QNetworkReply::AuthenticationRequiredError) << QString();
    QTest::newRow("403") << 403 << false << 2 << int(QNetworkReply::ContentAccessDenied)
                         << QString();
    QTest::newRow("404") << 404 << false << 2 << int(QNetworkReply::ContentNotFoundError)
                         << QString();
    QTest::newRow("409") << 409 << false << 2 << int(QNetworkReply::ContentConflictError)
                         << QString();
    QTest::newRow("418") << 418 << false << 2 << int(QNetworkReply::ProtocolInvalidOperationError)
                         << QString();
    QTest::newRow("500") << 500 << false << 2 << int(QNetworkReply::InternalServerError)
                         << QString();
    QTest::newRow("503") << 503 << false << 2 << int(QNetworkReply::ServiceUnavailableError)
                         << QString();
    QTest::newRow("599") << 599 << false << 2 << int(QNetworkReply::UnknownServerError)
                         << QString();
}

void TestMultipartForm::outcomes()
{
    QFETCH(int, status);
    QFETCH(bool, succeeds);
    QFETCH(int, errorCode);
    QFETCH(int, networkErrorCode);
    QFETCH(QString, errorText);

    const QByteArray body = status == 204 || status == 304 ? QByteArray() : "answer \xe9";
    m_server->setDefaultResponse(HttpStubServer::Response::withStatus(status, "Status", body));
    MultipartForm form;
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QCOMPARE(waitForOutcome(success, fail), succeeds);
    QCOMPARE(success.count() + fail.count(), 1);
    QCOMPARE(int(form.errorCode()), errorCode);
    QCOMPARE(form.networkErrorCode(), networkErrorCode);
    if (!errorText.isEmpty())
        QCOMPARE(form.errorString(), errorText);
    if (errorCode == MultipartForm::kNetworkError)
        QVERIFY2(!form.errorString().isEmpty(), "Qt's own error text");
    if (succeeds)
        QCOMPARE(form.response(), QString::fromLatin1(body));
    QVERIFY(!form.isBusy());
}

void TestMultipartForm::authenticationChallengeFails()
{
    auto server = httpsServer(CertificateFactory::leaf());
    QVERIFY(server);
    server->setDefaultResponse(HttpStubServer::Response::unauthorized());
    Log::Logger("MultipartForm").setLevel(Log::TRACE);
    TestSupport::MessageRecorder recorder;
    MultipartForm form;
    form.setCaCertificates({CertificateFactory::ca().certificate});
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(server->url(), MultipartForm::kPut, QStringLiteral("alice"), QStringLiteral("wrong"));
    QVERIFY(!waitForOutcome(success, fail));
    QCOMPARE(fail.count(), 1);
    // The abort that answers the challenge replaces the authentication code with its own error.
    QCOMPARE(form.errorCode(), MultipartForm::kNetworkError);
    QCOMPARE(form.networkErrorCode(), int(QNetworkReply::OperationCanceledError));
    QCOMPARE(recorder.count({QStringLiteral("onNetworkAccessManagerAuthenticationRequired")}), 1);
    Log::Logger("MultipartForm").setLevel(Log::ERROR);
    // The credentials are not offered again.
    QCOMPARE(server->requests().size(), 1);
}

void TestMultipartForm::missingFileFailsBeforeSending()
{
    const QString marked = writeFile(QStringLiteral("first.bin"), "first");
    const QString missing = m_dir->filePath(QStringLiteral("missing.bin"));
    TestSupport::MessageRecorder recorder;
    MultipartForm form;
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    form.addFile(QStringLiteral("one"), marked, QStringLiteral("application/octet-stream"), true);
    form.addFile(QStringLiteral("two"), missing, QStringLiteral("application/octet-stream"), true);
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QCOMPARE(fail.count(), 1);
    QCOMPARE(success.count(), 0);
    QCOMPARE(form.errorCode(), MultipartForm::kFileNotFound);
    QCOMPARE(form.errorString(), QStringLiteral("The file %1 not found!").arg(missing));
    QCOMPARE(recorder.count({QStringLiteral("ERROR"), QStringLiteral("The file "), missing,
                             QStringLiteral(" not found!")}),
             1);
    QVERIFY(!form.isBusy());
    // The earlier file is removed even though nothing was sent.
    QVERIFY(!QFile::exists(marked));
    QCoreApplication::processEvents();
    QCOMPARE(m_server->acceptedConnections(), 0);

    // The next send is accepted.
    form.clear();
    QVERIFY(form.isEmpty());
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QVERIFY(form.isBusy());
    QTRY_COMPARE_WITH_TIMEOUT(success.count(), 1, 20000);
    QCOMPARE(form.errorCode(), MultipartForm::kNoError);
}

void TestMultipartForm::unsafeNamesAreRefused_data()
{
    QTest::addColumn<QString>("attributeName");
    QTest::addColumn<QString>("fileField");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("contentType");
    const QString type = QStringLiteral("text/plain");
    QTest::newRow("quote in a field name")
        << QStringLiteral("a\"b") << QStringLiteral("f") << QStringLiteral("f.txt") << type;
    QTest::newRow("CR in a field name")
        << QStringLiteral("a\rb") << QStringLiteral("f") << QStringLiteral("f.txt") << type;
    QTest::newRow("LF in a field name")
        << QStringLiteral("a\nX-Evil: 1") << QStringLiteral("f") << QStringLiteral("f.txt") << type;
    QTest::newRow("quote in a file field")
        << QStringLiteral("a") << QStringLiteral("f\"") << QStringLiteral("f.txt") << type;
    QTest::newRow("quote in a file name")
        << QStringLiteral("a") << QStringLiteral("f") << QStringLiteral("f\".txt") << type;
    QTest::newRow("LF in a file name")
        << QStringLiteral("a") << QStringLiteral("f") << QStringLiteral("f\n.txt") << type;
    QTest::newRow("LF in a content type")
        << QStringLiteral("a") << QStringLiteral("f") << QStringLiteral("f.txt")
        << QStringLiteral("text/plain\r\nX-Evil: 1");
}

void TestMultipartForm::unsafeNamesAreRefused()
{
    QFETCH(QString, attributeName);
    QFETCH(QString, fileField);
    QFETCH(QString, fileName);
    QFETCH(QString, contentType);
    const QString marked = writeFile(QStringLiteral("marked.bin"), "m");
    const QString path = writeFile(fileName, "contents");
    QVERIFY(!path.isEmpty());
    MultipartForm form;
    form.addAttribute(attributeName, QStringLiteral("v"));
    form.addFile(QStringLiteral("m"), marked, QStringLiteral("text/plain"), true);
    form.addFile(fileField, path, contentType, false);
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QCOMPARE(fail.count(), 1);
    QCOMPARE(success.count(), 0);
    QCOMPARE(form.errorCode(), MultipartForm::kInvalidRequest);
    QVERIFY(!form.errorString().isEmpty());
    QVERIFY(!form.isBusy());
    QVERIFY(!QFile::exists(marked));
    QCoreApplication::processEvents();
    QCOMPARE(m_server->acceptedConnections(), 0);
}

void TestMultipartForm::secondSendWhileBusyIsRefused()
{
    m_server->setDefaultResponse(HttpStubServer::Response::neverAnswer());
    HttpStubServer other;
    QVERIFY(other.listenHttp(QHostAddress(QStringLiteral("127.0.0.2"))));
    TestSupport::MessageRecorder recorder;
    MultipartForm form;
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(QStringLiteral("/first")), MultipartForm::kPost, QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 20000);

    form.send(other.url(QStringLiteral("/second")), MultipartForm::kPut, QString(), QString());
    QCOMPARE(recorder.count({QStringLiteral("ERROR"),
                             QStringLiteral("send called when another request is in progress")}),
             1);
    QCOMPARE(form.url(), m_server->url(QStringLiteral("/first")));
    QVERIFY(form.isBusy());
    QCoreApplication::processEvents();
    QCOMPARE(success.count() + fail.count(), 0);
    QCOMPARE(other.acceptedConnections(), 0);
    form.cancel();
}

void TestMultipartForm::sendBetweenErrorAndFinish()
{
    // The error handler frees the form before the reply has finished, so a send may come in
    // between; the earlier reply's end must not be taken for the new request's.
    m_server->enqueue(HttpStubServer::Response::withStatus(404, "Not Found", "gone"));
    m_server->enqueue(HttpStubServer::Response::delayed(300, "second"));
    const QString first = writeFile(QStringLiteral("first.bin"), "first");
    const QString second = writeFile(QStringLiteral("second.bin"), "second");
    MultipartForm form;
    auto *manager = new QNetworkAccessManager;
    form.setNetworkAccessManager(manager);
    form.addFile(QStringLiteral("f"), first, QStringLiteral("application/octet-stream"), true);
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(QStringLiteral("/first")), MultipartForm::kPost, QString(), QString());
    const QList<QNetworkReply *> replies = manager->findChildren<QNetworkReply *>();
    QCOMPARE(replies.size(), 1);
    QPointer<QNetworkReply> earlier = replies.first();
    bool resent = false;
    connect(earlier, &QNetworkReply::errorOccurred, this, [&] {
        if (form.isBusy())
            return;
        form.clear();
        form.addFile(QStringLiteral("f"), second, QStringLiteral("application/octet-stream"), true);
        form.send(m_server->url(QStringLiteral("/second")), MultipartForm::kPost, QString(),
                  QString());
        resent = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(resent, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(earlier.isNull(), 20000);
    // The earlier reply is gone; the new request still runs and keeps its file.
    QCOMPARE(success.count() + fail.count(), 0);
    QVERIFY(form.isBusy());
    QVERIFY(!QFile::exists(first));
    QVERIFY(QFile::exists(second));

    QTRY_COMPARE_WITH_TIMEOUT(success.count(), 1, 20000);
    QCOMPARE(fail.count(), 0);
    QCOMPARE(form.errorCode(), MultipartForm::kNoError);
    QCOMPARE(form.response(), QStringLiteral("second"));
    QVERIFY(!form.isBusy());
    QVERIFY(!QFile::exists(second));
    QCOMPARE(m_server->requests().size(), 2);
    QVERIFY(m_server->requests().at(1).body.contains("\r\n\r\nsecond\r\n"));
}

void TestMultipartForm::cancelGivesNoSignalAndRemovesFiles()
{
    m_server->setDefaultResponse(HttpStubServer::Response::neverAnswer());
    const QString marked = writeFile(QStringLiteral("upload.zip"), "zip");
    const QString kept = writeFile(QStringLiteral("kept.txt"), "kept");
    MultipartForm form;
    form.addFile(QStringLiteral("report"), marked, QStringLiteral("application/zip"), true);
    form.addFile(QStringLiteral("log"), kept, QStringLiteral("text/plain"), false);
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 20000);
    // The caller emptying the form meanwhile does not keep the marked file.
    form.clear();
    form.cancel();
    QVERIFY(!form.isBusy());
    QVERIFY(!QFile::exists(marked));
    QVERIFY(QFile::exists(kept));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, 20000);
    QCOMPARE(success.count() + fail.count(), 0);
}

void TestMultipartForm::cancelWhileIdleIsHarmless()
{
    MultipartForm form;
    form.cancel();
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    // The next accepted send clears the mark and reports normally.
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QVERIFY(waitForOutcome(success, fail));
}

void TestMultipartForm::replacingTheManagerWhileBusy()
{
    m_server->setDefaultResponse(HttpStubServer::Response::delayed(300, "done"));
    MultipartForm form;
    form.setNetworkAccessManager(nullptr);
    QVERIFY(!form.networkAccessManager());
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QPointer<QNetworkAccessManager> first = form.networkAccessManager();
    QVERIFY(first);
    QCOMPARE(first->parent(), &form);
    form.setNetworkAccessManager(first); // the same one changes nothing
    QCOMPARE(form.networkAccessManager(), first.data());

    auto *second = new QNetworkAccessManager;
    form.setNetworkAccessManager(second);
    QCOMPARE(form.networkAccessManager(), second);
    QCOMPARE(second->parent(), &form);
    QVERIFY(first); // kept while its reply runs
    QVERIFY(waitForOutcome(success, fail));
    QCOMPARE(form.response(), QStringLiteral("done"));
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 10000);

    // The new manager serves the next send; an idle replacement goes at once.
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(success.count(), 2, 20000);
    QPointer<QNetworkAccessManager> replaced = second;
    form.setNetworkAccessManager(new QNetworkAccessManager);
    QVERIFY(replaced.isNull());
}

void TestMultipartForm::certificates_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("trust");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("leaf of the trusted CA") << "leaf" << "ca" << true;
    QTest::newRow("leaf of another CA") << "foreign" << "ca" << false;
    QTest::newRow("test CA under the platform's CAs") << "leaf" << "platform" << false;
    QTest::newRow("self-signed") << "self" << "ca" << false;
}

void TestMultipartForm::certificates()
{
    QFETCH(QString, server);
    QFETCH(QString, trust);
    QFETCH(bool, succeeds);
    const TestSupport::TestIdentity &identity = server == QLatin1String("leaf")
        ? CertificateFactory::leaf()
        : server == QLatin1String("foreign") ? CertificateFactory::foreignLeaf()
                                             : CertificateFactory::homeBridge(0);
    auto https = httpsServer(identity);
    QVERIFY(https);
    https->setDefaultResponse(HttpStubServer::Response::withStatus(201, "Created", "ok"));
    const QString marked = writeFile(QStringLiteral("secret.bin"), "secret");

    TestSupport::MessageRecorder recorder;
    MultipartForm form;
    if (trust == QLatin1String("ca"))
        form.setCaCertificates({CertificateFactory::ca().certificate});
    form.addFile(QStringLiteral("keystore"), marked, QStringLiteral("application/octet-stream"),
                 true);
    QSignalSpy success(&form, &MultipartForm::success);
    QSignalSpy fail(&form, &MultipartForm::fail);
    form.send(https->url(QStringLiteral("/keys")), MultipartForm::kPut, QStringLiteral("alice"),
              QStringLiteral("secret"));
    QCOMPARE(waitForOutcome(success, fail), succeeds);
    QVERIFY(!QFile::exists(marked));
    if (succeeds) {
        QCOMPARE(https->requests().size(), 1);
        return;
    }
    QCOMPARE(form.errorCode(), MultipartForm::kNetworkError);
    QCOMPARE(form.networkErrorCode(), int(QNetworkReply::SslHandshakeFailedError));
    QVERIFY2(form.errorString().contains(QStringLiteral("SSL handshake failed")),
             qPrintable(form.errorString()));
    QCOMPARE(recorder.count({QStringLiteral("WARN"), QStringLiteral("ssl errors: ")}), 1);
    // The client turned the handshake down, and nothing, the password least of all, reached
    // the server.
    QTRY_VERIFY_WITH_TIMEOUT(https->failedHandshakes() >= 1, 20000);
    QCOMPARE(https->requests().size(), 0);
}

void TestMultipartForm::responseGrowsUntilClear()
{
    m_server->enqueue(HttpStubServer::Response::ok("one;"));
    m_server->enqueue(HttpStubServer::Response::ok("two;"));
    m_server->enqueue(HttpStubServer::Response::ok("three"));
    MultipartForm form;
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    QSignalSpy success(&form, &MultipartForm::success);
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(success.count(), 1, 20000);
    // The fields persist: a second send repeats them.
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(success.count(), 2, 20000);
    QCOMPARE(form.response(), QStringLiteral("one;two;"));
    QCOMPARE(m_server->requests().at(1).body.count("name=\"k\""), 1);
    form.clear();
    QVERIFY(form.response().isEmpty());
    form.addAttribute(QStringLiteral("k"), QStringLiteral("v"));
    form.send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(success.count(), 3, 20000);
    QCOMPARE(form.response(), QStringLiteral("three"));
}

void TestMultipartForm::destroyedWhileBusy()
{
    m_server->setDefaultResponse(HttpStubServer::Response::neverAnswer());
    const QString marked = writeFile(QStringLiteral("upload.bin"), "data");
    auto form = std::make_unique<MultipartForm>();
    form->addFile(QStringLiteral("f"), marked, QStringLiteral("application/octet-stream"), true);
    form->send(m_server->url(), MultipartForm::kPost, QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 20000);
    form.reset();
    QVERIFY(!QFile::exists(marked));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, 20000);
}

TOLVANE_TEST_MAIN(TestMultipartForm)
#include "tst_multipartform.moc"
