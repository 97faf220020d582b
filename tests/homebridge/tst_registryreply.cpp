#include "homebridge/homebridgedata.h"
#include "homebridge/registryaccessmanager.h"
#include "homebridge/registryconstants.h"
#include "homebridge/registryreply.h"
#include "homebridge/registryreplyparser.h"
#include "settings/settingsprovider.h"
#include "settings/ssldata.h"
#include "support/certificatefactory.h"
#include "support/logcapture.h"
#include "support/registrystandin.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>
#include <memory>
#include <thread>
#include <vector>

using namespace TolvaneMail;
using TestSupport::RegistryAnswer;
using TestSupport::RegistryStandIn;

Q_DECLARE_METATYPE(TolvaneMail::RegistryReplyCodes)
Q_DECLARE_METATYPE(TestSupport::RegistryStandIn::Identity)

namespace {

const QByteArray kRecord = R"({"Info":{"Host":"hb.example","Addressable":true},)"
                           R"("Settings":{"Incoming":{"LocalPort":995}}})";

RegistryRequest findRequest(const QString &address = QStringLiteral("Jo.Doe@Example.com"))
{
    QVariantMap data;
    data.insert(RegistryConstants::kName, address);
    return RegistryRequest(kHomeBridgeFind, data);
}

// Points the client at a registry the way an installation does: through "config.cfg".
bool pointRegistryAt(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
{
    const QString dir = QDir::current().absoluteFilePath(QStringLiteral("config"));
    QDir().mkpath(dir);
    if (TestSupport::CertificateFactory::writeRegistryConfig(dir, port, host).isEmpty())
        return false;
    SettingsProvider::setConfigDir(dir);
    SettingsProvider::drop();
    SslData::drop();
    return SettingsProvider::instance()->getRegistryPort() == port
           && SslData::instance()->getRegistryCACertificates().size() == 1;
}

// A loopback port where nothing listens.
quint16 closedPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

// An asynchronous reply with its two signals watched.
struct WatchedReply {
    std::unique_ptr<RegistryReply> reply;
    std::unique_ptr<QSignalSpy> finished;
    std::unique_ptr<QSignalSpy> error;

    explicit WatchedReply(RegistryReply *r)
        : reply(r), finished(new QSignalSpy(r, &RegistryReply::finished)),
          error(new QSignalSpy(r, &RegistryReply::error))
    {
    }
    int signalCount() const { return finished->count() + error->count(); }
};

} // namespace

class TestRegistryReply : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void replyCodeTexts_data();
    void replyCodeTexts();
    void freshReply();
    void asyncOutcomes_data();
    void asyncOutcomes();
    void asyncTlsFailures_data();
    void asyncTlsFailures();
    void asyncRefusedPort();
    void asyncSilenceTimesOut();
    void asyncSplitReplyRestartsTimer();
    void asyncTrickleHitsOverallDeadline();
    void asyncOverlongLine();
    void asyncHandshakeNeverAnswered();
    void abortBeforeStartEmitsNothing();
    void abortDuringExchangeEmitsNothing();
    void deleteWhileRunning();
    void deleteInsideFinishedSlot();
    void emptyRequestSendsBareLineEnd();
    void blockingOutcomes_data();
    void blockingOutcomes();
    void blockingTlsFailures_data();
    void blockingTlsFailures();
    void blockingRefusedPort();
    void blockingHandshakeNeverAnswered();
    void blockingOverlongLine();
    void blockingFromSeveralThreads();

private:
    std::unique_ptr<RegistryStandIn> startStandIn(RegistryStandIn::Identity identity = RegistryStandIn::kTrusted);
    // Runs one more complete exchange, so events still due for earlier replies get delivered.
    void runAnotherExchange(RegistryStandIn &standIn);
};

std::unique_ptr<RegistryStandIn> TestRegistryReply::startStandIn(RegistryStandIn::Identity identity)
{
    auto standIn = std::make_unique<RegistryStandIn>(identity);
    if (!standIn->start() || !pointRegistryAt(standIn->port()))
        return nullptr;
    return standIn;
}

void TestRegistryReply::runAnotherExchange(RegistryStandIn &standIn)
{
    standIn.enqueue(RegistryAnswer::reply("OK\r\n"));
    WatchedReply other(RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous));
    QVERIFY(other.finished->wait(20000));
}

void TestRegistryReply::init()
{
    SettingsProvider::drop();
    SslData::drop();
}

void TestRegistryReply::replyCodeTexts_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("0") << 0 << "";
    QTest::newRow("1") << 1 << "reply ok";
    QTest::newRow("2") << 2 << "requested record already has been created";
    QTest::newRow("3") << 3 << "requested user exists";
    QTest::newRow("4") << 4 << "requested user does not exists";
    QTest::newRow("5") << 5 << "user is uknown";
    QTest::newRow("6") << 6 << "requested email has been already created";
    QTest::newRow("7") << 7 << "authenticated failed";
    QTest::newRow("8") << 8 << "ssl error occured";
    QTest::newRow("9") << 9 << "network error occured";
    QTest::newRow("10") << 10 << "internal server error occured";
    QTest::newRow("11") << 11 << "default registry reply";
    QTest::newRow("12") << 12 << "FAILED_CHANGED_TO_PRO";
    QTest::newRow("13") << 13 << "reply parse error";
    QTest::newRow("14") << 14 << "reply invalid command";
    QTest::newRow("15") << 15 << "";
}

void TestRegistryReply::replyCodeTexts()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(RegistryReply::replyCodeToString(static_cast<RegistryReplyCodes>(code)), text);
}

void TestRegistryReply::freshReply()
{
    RegistryReply reply(kRegistryBlocking);
    QCOMPARE(reply.replyCode(), kReplyNone);
    QCOMPARE(reply.requestType(), kRequestNone);
    QVERIFY(reply.getReply().isEmpty());
    QVERIFY(reply.hasReply());
    QVERIFY(!reply.isReplyPossitive());
    QVERIFY(!reply.isInProgress());
}

void TestRegistryReply::asyncOutcomes_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<RegistryReplyCodes>("code");

    QTest::newRow("found") << RegistryStandIn::findReply(kRecord, "LAPSED=0, DEVICE_TYPE=android")
                           << false << kReplyOk;
    QTest::newRow("not found, then closed") << QByteArray("FAILED_NOT_EXISTS\r\n") << true
                                            << kReplyFailedNotExists;
    QTest::newRow("server error") << QByteArray("FAILED_SERVER_ERROR\r\n") << false << kReplyServerError;
    QTest::newRow("unknown word") << QByteArray("WHAT\r\n") << true << kReplyDefault;
}

void TestRegistryReply::asyncOutcomes()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, closeAfter);
    QFETCH(RegistryReplyCodes, code);

    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->enqueue(closeAfter ? RegistryAnswer::replyAndClose(answer) : RegistryAnswer::reply(answer));

    TestSupport::LogCapture log;
    WatchedReply watched(RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous));
    // Nothing happens before control is back in the event loop.
    QCOMPARE(watched.signalCount(), 0);
    QCOMPARE(standIn->connectionCount(), 0);

    QVERIFY(watched.finished->wait(20000));
    QCOMPARE(watched.error->count(), 0);
    QCOMPARE(watched.reply->replyCode(), code);
    QCOMPARE(watched.reply->getReply(), QString::fromUtf8(answer));
    QCOMPARE(watched.reply->requestType(), kHomeBridgeFind);
    QCOMPARE(watched.reply->isReplyPossitive(), code == kReplyOk);
    QCOMPARE(watched.reply->hasReply(), code != kReplyDefault);
    QVERIFY(!watched.reply->isInProgress());
    QCOMPARE(standIn->requests(), QByteArrayList{"HOMEBRIDGE_FIND: NAME=Jo.Doe@Example.com\r\n"});
    QCOMPARE(log.contains(QStringLiteral("Reply:")), code != kReplyOk);

    if (code == kReplyOk) {
        const QVariantMap fields = RegistryReplyParser::parse(watched.reply->requestType(),
                                                              watched.reply->getReply()).toMap();
        bool ok = false;
        const HomeBridgeData record = HomeBridgeData::fromJson(
            QString::fromUtf8(fields.value(RegistryConstants::kData).toByteArray()), &ok);
        QVERIFY(ok);
        QCOMPARE(record.info().Host, QStringLiteral("hb.example"));
        QCOMPARE(record.settings().Incoming.LocalPort, quint16(995));
        QCOMPARE(fields.value(RegistryConstants::kDeviceType).toString(), QStringLiteral("android"));
    }

    // Whatever the connection does afterwards (the stand-in may close it) changes nothing.
    runAnotherExchange(*standIn);
    QCOMPARE(watched.finished->count(), 1);
    QCOMPARE(watched.error->count(), 0);
    QCOMPARE(watched.reply->replyCode(), code);
}

void TestRegistryReply::asyncTlsFailures_data()
{
    QTest::addColumn<RegistryStandIn::Identity>("identity");
    QTest::newRow("foreign CA") << RegistryStandIn::kForeignCa;
    QTest::newRow("wrong host name") << RegistryStandIn::kWrongName;
}

void TestRegistryReply::asyncTlsFailures()
{
    QFETCH(RegistryStandIn::Identity, identity);
    auto standIn = startStandIn(identity);
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::reply("OK\r\n"));

    TestSupport::LogCapture log;
    WatchedReply watched(RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous));
    QVERIFY(watched.error->wait(20000));
    QCOMPARE(watched.reply->replyCode(), kReplySslError);
    QVERIFY(!watched.reply->hasReply());
    QVERIFY(log.contains(QStringLiteral("SSL error: ")));
    QVERIFY(standIn->requests().isEmpty());

    // The socket's own error, reported right after the failed handshake, does not turn 8 into 9
    // nor add a second signal.
    QCoreApplication::processEvents();
    QCOMPARE(watched.finished->count(), 0);
    QCOMPARE(watched.error->count(), 1);
    QCOMPARE(watched.reply->replyCode(), kReplySslError);
}

void TestRegistryReply::asyncRefusedPort()
{
    const quint16 port = closedPort();
    QVERIFY(port != 0);
    QVERIFY(pointRegistryAt(port));
    TestSupport::LogCapture log;
    WatchedReply watched(RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous));
    QVERIFY(watched.error->wait(20000));
    QCOMPARE(watched.reply->replyCode(), kReplyNetworkError);
    QVERIFY(!watched.reply->hasReply());
    QCOMPARE(watched.finished->count(), 0);
    QVERIFY(log.contains(QStringLiteral("Socket error: ")));
}

void TestRegistryReply::asyncSilenceTimesOut()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::silence());

    TestSupport::LogCapture log;
    auto *reply = new RegistryReply(kRegistryAsynchronous);
    WatchedReply watched(reply);
    reply->setDataTimeout(500);
    reply->sendRequest(findRequest());
    QVERIFY(watched.error->wait(20000));
    QCOMPARE(reply->replyCode(), kReplyNetworkError);
    QCOMPARE(watched.finished->count(), 0);
    QVERIFY(log.contains(QStringLiteral("Timeout")));
    QCOMPARE(standIn->requests().size(), 1);
}

void TestRegistryReply::asyncSplitReplyRestartsTimer()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    // Each part of the line comes within the data period of the one before, the whole line only after it.
    const QByteArray text = "FAILED_NOT_EXISTS for this user\r\n";
    standIn->setDefaultAnswer(RegistryAnswer::split(text, 10, 1500, 1500));

    auto *reply = new RegistryReply(kRegistryAsynchronous);
    WatchedReply watched(reply);
    reply->setDataTimeout(2500);
    reply->sendRequest(findRequest());
    QVERIFY(watched.finished->wait(20000));
    QCOMPARE(watched.error->count(), 0);
    QCOMPARE(reply->getReply(), QString::fromLatin1(text));
    QCOMPARE(reply->replyCode(), kReplyFailedNotExists);
}

void TestRegistryReply::asyncTrickleHitsOverallDeadline()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::trickle(100));

    TestSupport::LogCapture log;
    auto *reply = new RegistryReply(kRegistryAsynchronous);
    WatchedReply watched(reply);
    reply->setDataTimeout(1000);
    reply->setExchangeTimeout(2000);
    reply->sendRequest(findRequest());
    QVERIFY(watched.error->wait(20000));
    QCOMPARE(reply->replyCode(), kReplyNetworkError);
    QCOMPARE(watched.finished->count(), 0);
    QVERIFY(log.contains(QStringLiteral("Timeout")));
}

void TestRegistryReply::asyncOverlongLine()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::endlessLine());

    TestSupport::LogCapture log;
    WatchedReply watched(RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous));
    QVERIFY(watched.error->wait(20000));
    QCOMPARE(watched.reply->replyCode(), kReplyNetworkError);
    QCOMPARE(watched.finished->count(), 0);
    QVERIFY(log.contains(QStringLiteral("Reply line too long")));
    QVERIFY(watched.reply->getReply().isEmpty());
}

void TestRegistryReply::asyncHandshakeNeverAnswered()
{
    TestSupport::StalledListener stalled;
    QVERIFY(stalled.isValid());
    QVERIFY(pointRegistryAt(stalled.port(), stalled.address().toString()));

    auto *reply = new RegistryReply(kRegistryAsynchronous);
    WatchedReply watched(reply);
    reply->setDataTimeout(500);
    reply->sendRequest(findRequest());
    QVERIFY(watched.error->wait(20000));
    QCOMPARE(reply->replyCode(), kReplyNetworkError);
}

void TestRegistryReply::abortBeforeStartEmitsNothing()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::reply("OK\r\n"));

    WatchedReply watched(RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous));
    watched.reply->abort();
    QVERIFY(!watched.reply->isInProgress());
    runAnotherExchange(*standIn);
    QCOMPARE(watched.signalCount(), 0);
    QCOMPARE(watched.reply->replyCode(), kReplyNone);
    // Only the other exchange reached the registry.
    QCOMPARE(standIn->connectionCount(), 1);
}

void TestRegistryReply::abortDuringExchangeEmitsNothing()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->enqueue(RegistryAnswer::reply("OK\r\n", 500));

    WatchedReply watched(RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous));
    QTRY_COMPARE_WITH_TIMEOUT(standIn->requests().size(), 1, 20000);
    QVERIFY(watched.reply->isInProgress());
    watched.reply->abort();
    QVERIFY(!watched.reply->isInProgress());
    runAnotherExchange(*standIn);
    QCOMPARE(watched.signalCount(), 0);
}

void TestRegistryReply::deleteWhileRunning()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->enqueue(RegistryAnswer::reply("OK\r\n", 300));

    auto *reply = RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous);
    QSignalSpy destroyed(reply, &QObject::destroyed);
    QTRY_COMPARE_WITH_TIMEOUT(standIn->requests().size(), 1, 20000);
    delete reply;
    QCOMPARE(destroyed.count(), 1);
    // The answer and the close still arrive at a socket that is gone; the loop stays sound.
    runAnotherExchange(*standIn);
}

void TestRegistryReply::deleteInsideFinishedSlot()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->enqueue(RegistryAnswer::reply("OK\r\n"));

    RegistryReply *reply = RegistryAccessManager().sendRequest(findRequest(), kRegistryAsynchronous);
    QSignalSpy destroyed(reply, &QObject::destroyed);
    int calls = 0;
    connect(reply, &RegistryReply::finished, this, [&calls, reply] {
        ++calls;
        QCOMPARE(reply->replyCode(), kReplyOk);
        delete reply;
    });
    QVERIFY(destroyed.wait(20000));
    QCOMPARE(calls, 1);
    runAnotherExchange(*standIn);
}

void TestRegistryReply::emptyRequestSendsBareLineEnd()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::reply("FAILED_INVALID_COMMAND\r\n"));

    QVariantMap data;
    data.insert(RegistryConstants::kName, QStringLiteral("a@b\r\nGET_IP"));
    WatchedReply broken(RegistryAccessManager().sendRequest(RegistryRequest(kHomeBridgeFind, data),
                                                            kRegistryAsynchronous));
    QVERIFY(broken.finished->wait(20000));
    WatchedReply empty(RegistryAccessManager().sendRequest(RegistryRequest(), kRegistryAsynchronous));
    QVERIFY(empty.finished->wait(20000));
    QCOMPARE(empty.reply->replyCode(), kReplyInvalidCommand);
    QCOMPARE(standIn->requests(), (QByteArrayList{"\r\n", "\r\n"}));
}

void TestRegistryReply::blockingOutcomes_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<RegistryReplyCodes>("code");
    QTest::addColumn<QString>("logged");

    QTest::newRow("found") << int(RegistryAnswer::kReply) << RegistryStandIn::findReply(kRecord)
                           << kReplyOk << QString();
    QTest::newRow("not found") << int(RegistryAnswer::kReply) << QByteArray("FAILED_NOT_EXISTS\r\n")
                               << kReplyFailedNotExists << "Reply:";
    QTest::newRow("split reply") << int(RegistryAnswer::kSplitReply) << QByteArray("OK LAPSED=5\r\n")
                                 << kReplyOk << QString();
    QTest::newRow("closed without reply") << int(RegistryAnswer::kClose) << QByteArray() << kReplyNone
                                          << "Disconnected before received reply:";
    QTest::newRow("silence") << int(RegistryAnswer::kSilence) << QByteArray() << kReplyNone << QString();
}

void TestRegistryReply::blockingOutcomes()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, answer);
    QFETCH(RegistryReplyCodes, code);
    QFETCH(QString, logged);

    auto standIn = startStandIn();
    QVERIFY(standIn);
    RegistryAnswer scripted;
    scripted.kind = static_cast<RegistryAnswer::Kind>(kind);
    scripted.text = answer;
    scripted.splitAt = 4;
    scripted.pauseMs = 200;
    standIn->setDefaultAnswer(scripted);

    TestSupport::LogCapture log;
    RegistryReply reply(kRegistryBlocking);
    QSignalSpy finished(&reply, &RegistryReply::finished);
    QSignalSpy error(&reply, &RegistryReply::error);
    reply.setLineWaitInterval(300);
    reply.sendRequest(findRequest(QStringLiteral("x@y.z")));

    QCOMPARE(reply.replyCode(), code);
    QCOMPARE(reply.getReply(), QString::fromLatin1(code == kReplyNone ? QByteArray() : answer));
    QCOMPARE(standIn->requests(), QByteArrayList{"HOMEBRIDGE_FIND: NAME=x@y.z\r\n"});
    if (!logged.isEmpty())
        QVERIFY(log.contains(logged));
    // No signal in the blocking mode, also not later from the event loop.
    QCoreApplication::processEvents();
    QCOMPARE(finished.count() + error.count(), 0);
}

void TestRegistryReply::blockingTlsFailures_data()
{
    QTest::addColumn<RegistryStandIn::Identity>("identity");
    QTest::newRow("foreign CA") << RegistryStandIn::kForeignCa;
    QTest::newRow("wrong host name") << RegistryStandIn::kWrongName;
}

void TestRegistryReply::blockingTlsFailures()
{
    QFETCH(RegistryStandIn::Identity, identity);
    auto standIn = startStandIn(identity);
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::reply("OK\r\n"));

    TestSupport::LogCapture log;
    std::unique_ptr<RegistryReply> reply(
        RegistryAccessManager().sendRequest(findRequest(), kRegistryBlocking));
    QSignalSpy finished(reply.get(), &RegistryReply::finished);
    QSignalSpy error(reply.get(), &RegistryReply::error);
    QCOMPARE(reply->replyCode(), kReplySslError);
    QVERIFY(log.contains(QStringLiteral("SSL error: ")));
    QVERIFY(log.contains(QStringLiteral("Cannot connect to registry server:")));
    QVERIFY(standIn->requests().isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(finished.count() + error.count(), 0);
}

void TestRegistryReply::blockingRefusedPort()
{
    const quint16 port = closedPort();
    QVERIFY(port != 0);
    QVERIFY(pointRegistryAt(port));
    TestSupport::LogCapture log;
    std::unique_ptr<RegistryReply> reply(
        RegistryAccessManager().sendRequest(findRequest(), kRegistryBlocking));
    QCOMPARE(reply->replyCode(), kReplyNone);
    QVERIFY(log.contains(QStringLiteral("Cannot connect to registry server:")));
}

void TestRegistryReply::blockingHandshakeNeverAnswered()
{
    TestSupport::StalledListener stalled;
    QVERIFY(stalled.isValid());
    QVERIFY(pointRegistryAt(stalled.port(), stalled.address().toString()));

    TestSupport::LogCapture log;
    RegistryReply reply(kRegistryBlocking);
    reply.setEncryptionTimeout(500);
    reply.sendRequest(findRequest());
    QCOMPARE(reply.replyCode(), kReplyNone);
    QVERIFY(log.contains(QStringLiteral("Cannot connect to registry server:")));
}

void TestRegistryReply::blockingOverlongLine()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::endlessLine());

    TestSupport::LogCapture log;
    std::unique_ptr<RegistryReply> reply(
        RegistryAccessManager().sendRequest(findRequest(), kRegistryBlocking));
    QCOMPARE(reply->replyCode(), kReplyNetworkError);
    QVERIFY(reply->getReply().isEmpty());
    QVERIFY(log.contains(QStringLiteral("Reply line too long")));
}

void TestRegistryReply::blockingFromSeveralThreads()
{
    auto standIn = startStandIn();
    QVERIFY(standIn);
    standIn->setDefaultAnswer(RegistryAnswer::echo());

    constexpr int kThreads = 6;
    std::vector<RegistryReplyCodes> codes(kThreads, kReplyNone);
    std::vector<QString> replies(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i, &codes, &replies] {
            const QString address = QStringLiteral("user%1@example.com").arg(i);
            std::unique_ptr<RegistryReply> reply(
                RegistryAccessManager().sendRequest(findRequest(address), kRegistryBlocking));
            codes[i] = reply->replyCode();
            replies[i] = reply->getReply();
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    for (int i = 0; i < kThreads; ++i) {
        QCOMPARE(codes[i], kReplyOk);
        QCOMPARE(replies[i], QStringLiteral("OK HOMEBRIDGE_FIND: NAME=user%1@example.com\r\n").arg(i));
    }
    QCOMPARE(standIn->requests().size(), kThreads);
}

TOLVANE_TEST_MAIN(TestRegistryReply)
#include "tst_registryreply.moc"
