#include "homebridge/registryconstants.h"
#include "homebridge/registryreply.h"
#include "homebridge/registryreplyparser.h"
#include "settings/settingsprovider.h"
#include "settings/ssldata.h"
#include "support/registrystandin.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"

#include <QDir>
#include <QPointer>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>
#include <thread>

using namespace TolvaneMail;
using TestSupport::RegistryAnswer;
using TestSupport::RegistryStandIn;

Q_DECLARE_METATYPE(TestSupport::RegistryAnswer)

namespace {

// Who answers at the registry's address: the stand-in with one of its identities, nobody, or a
// listener that never completes a connection.
enum Peer { kTrusted, kForeignCa, kWrongName, kRefused, kStalled };
// How the owner gives an exchange up.
enum Abandon { kAbortBeforeStart, kAbortDuring, kAbortAfterLine, kDeleteDuring, kDeleteInFinished };

const QByteArray kRecord = R"({"Info":{"Host":"hb.example"}})";

RegistryRequest findRequest(const QString &address = QStringLiteral("Jo.Doe@Example.com"))
{
    return RegistryRequest(kHomeBridgeFind, QVariantMap{{RegistryConstants::kName, address}});
}

// Points the client at a registry the way an installation does: through "config.cfg".
bool pointRegistryAt(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
{
    const QString dir = QDir::current().absoluteFilePath(QStringLiteral("config"));
    SettingsProvider::setConfigDir(dir);
    SettingsProvider::drop();
    SslData::drop();
    return QDir().mkpath(dir) &&
           !TestSupport::CertificateFactory::writeRegistryConfig(dir, port, host).isEmpty();
}

// A loopback port where nothing listens.
quint16 closedPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

// Runs one more whole exchange, so that events still due for earlier replies are delivered.
void runAnotherExchange()
{
    RegistryStandIn standIn;
    standIn.setDefaultAnswer(RegistryAnswer::reply("OK\r\n"));
    QVERIFY(standIn.start() && pointRegistryAt(standIn.port()));
    RegistryReply reply(kRegistryAsynchronous);
    QSignalSpy finished(&reply, &RegistryReply::finished);
    reply.sendRequest(findRequest());
    QVERIFY(finished.wait(20000));
}

} // namespace

class TestRegistryReply : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replyCodeTexts();
    void exchange_data();
    void exchange();
    void abandon_data();
    void abandon();
    void blockingFromSeveralThreads();
};

void TestRegistryReply::replyCodeTexts()
{
    const QStringList texts =
        QStringLiteral("|reply ok|requested record already has been created|requested user exists|"
                       "requested user does not exists|user is uknown|"
                       "requested email has been already created|authenticated failed|"
                       "ssl error occured|network error occured|internal server error occured|"
                       "default registry reply|FAILED_CHANGED_TO_PRO|reply parse error|"
                       "reply invalid command|")
            .split('|');
    for (int code = 0; code < texts.size(); ++code)
        QCOMPARE(RegistryReply::replyCodeToString(RegistryReplyCodes(code)), texts[code]);
}

void TestRegistryReply::exchange_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("peer");
    QTest::addColumn<RegistryAnswer>("answer");
    QTest::addColumn<int>("timeoutMs"); // data period, or handshake limit when blocking
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("address");

    const auto row = [](const QByteArray &name, int mode, int peer, const RegistryAnswer &answer,
                        int timeoutMs, int code, const char *address = "Jo.Doe@Example.com") {
        QTest::newRow(name.constData()) << mode << peer << answer << timeoutMs << code << address;
    };
    const int cap = int(RegistryReply::kMaxReplyLineBytes);
    const RegistryAnswer ok = RegistryAnswer::reply("OK\r\n");
    for (const int mode : {kRegistryAsynchronous, kRegistryBlocking}) {
        const bool a = mode == kRegistryAsynchronous;
        const QByteArray m = a ? "async " : "blocking ";
        const int noReply = a ? kReplyNetworkError : kReplyNone;
        row(m + "found", mode, kTrusted, RegistryAnswer::reply(RegistryStandIn::findReply(kRecord)),
            30000, kReplyOk);
        row(m + "not found, then closed", mode, kTrusted,
            RegistryAnswer::replyAndClose("FAILED_NOT_EXISTS\r\n"), 30000, kReplyFailedNotExists);
        row(m + "foreign CA", mode, kForeignCa, ok, 30000, kReplySslError);
        row(m + "wrong host name", mode, kWrongName, ok, 30000, kReplySslError);
        row(m + "refused", mode, kRefused, ok, 30000, noReply);
        row(m + "handshake never answered", mode, kStalled, ok, 500, noReply);
        row(m + "silence", mode, kTrusted, RegistryAnswer::silence(), 500, noReply);
        row(m + "endless line", mode, kTrusted, RegistryAnswer::endlessLine(), 30000,
            kReplyNetworkError);
        // No line end can follow within the cap: the line is cut off at once.
        row(m + "cap without line end", mode, kTrusted, RegistryAnswer::reply(QByteArray(cap, 'A')),
            30000, kReplyNetworkError);
        row(m + "cap with line end", mode, kTrusted,
            RegistryAnswer::reply("OK" + QByteArray(cap - 3, 'A') + '\n'), 30000, kReplyOk);
    }
    // A field with a line break is not sent; the bare line end still is.
    row("async line break in a field", kRegistryAsynchronous, kTrusted,
        RegistryAnswer::reply("FAILED_INVALID_COMMAND\r\n"), 30000, kReplyInvalidCommand,
        "a@b\r\nGET_IP");
    // Each part comes within the data period of the one before, the whole line only after it.
    row("async split reply", kRegistryAsynchronous, kTrusted,
        RegistryAnswer::split("FAILED_NOT_EXISTS\r\n", 4, 1500, 1500), 2500, kReplyFailedNotExists);
    // Every byte grants another data period, but the exchange as a whole has its limit.
    row("async trickle", kRegistryAsynchronous, kTrusted, RegistryAnswer::trickle(100), 1000,
        kReplyNetworkError);
    row("blocking split reply", kRegistryBlocking, kTrusted,
        RegistryAnswer::split("OK LAPSED=5\r\n", 4, 0, 200), 30000, kReplyOk);
    row("blocking closed without reply", kRegistryBlocking, kTrusted, RegistryAnswer::close(),
        30000, kReplyNone);
}

void TestRegistryReply::exchange()
{
    QFETCH(int, mode);
    QFETCH(int, peer);
    QFETCH(RegistryAnswer, answer);
    QFETCH(int, timeoutMs);
    QFETCH(int, code);
    QFETCH(QString, address);

    RegistryStandIn standIn(peer <= kWrongName ? RegistryStandIn::Identity(peer)
                                               : RegistryStandIn::kTrusted);
    standIn.setDefaultAnswer(answer);
    TestSupport::StalledListener stalled;
    QVERIFY(standIn.start() && stalled.isValid());
    QVERIFY(peer == kStalled   ? pointRegistryAt(stalled.port(), stalled.address().toString())
            : peer == kRefused ? pointRegistryAt(closedPort())
                               : pointRegistryAt(standIn.port()));

    const auto reply = std::make_unique<RegistryReply>(RegistryMode(mode));
    QSignalSpy finished(reply.get(), &RegistryReply::finished);
    QSignalSpy error(reply.get(), &RegistryReply::error);
    reply->setDataTimeout(timeoutMs);
    reply->setExchangeTimeout(2 * timeoutMs);
    reply->setEncryptionTimeout(timeoutMs);
    reply->setLineWaitInterval(300);
    reply->sendRequest(findRequest(address));
    const bool failed = code == kReplySslError || code == kReplyNetworkError;
    if (mode == kRegistryAsynchronous)
        QVERIFY((failed ? error : finished).wait(20000));
    // Whatever the connection does afterwards changes nothing; a blocking exchange emits nothing.
    runAnotherExchange();
    QCOMPARE(finished.count(), int(mode == kRegistryAsynchronous && !failed));
    QCOMPARE(error.count(), int(mode == kRegistryAsynchronous && failed));
    QCOMPARE(int(reply->replyCode()), code);
    QCOMPARE(reply->getReply(), failed || code == kReplyNone ? QString() : QString(answer.text));
    QCOMPARE(standIn.requests().join(),
             peer == kTrusted ? findRequest(address).requestString().toLatin1() + "\r\n" : "");
    if (answer.text.startsWith("OK DATA=")) // the record travels whole
        QCOMPARE(RegistryReplyParser::parse(kHomeBridgeFind, reply->getReply())
                     .toMap()
                     .value(RegistryConstants::kData),
                 QVariant(kRecord));
}

void TestRegistryReply::abandon_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("abort before the start") << int(kAbortBeforeStart);
    QTest::newRow("abort during the exchange") << int(kAbortDuring);
    // The line is read and the signal is on its way when the owner gives the exchange up.
    QTest::newRow("abort after the line came") << int(kAbortAfterLine);
    QTest::newRow("delete during the exchange") << int(kDeleteDuring);
    QTest::newRow("delete in the finished() slot") << int(kDeleteInFinished);
}

// An exchange given up emits nothing more, nor does one deleted by the slot it signalled.
void TestRegistryReply::abandon()
{
    QFETCH(int, how);
    RegistryStandIn standIn;
    standIn.setDefaultAnswer(RegistryAnswer::reply("OK\r\n", how == kDeleteInFinished ? 0 : 300));
    QVERIFY(standIn.start() && pointRegistryAt(standIn.port()));

    QPointer<RegistryReply> reply = new RegistryReply(kRegistryAsynchronous);
    int signalCount = 0;
    connect(reply, &RegistryReply::error, this, [&] { ++signalCount; });
    connect(reply, &RegistryReply::finished, this, [&] {
        ++signalCount;
        if (how == kDeleteInFinished)
            delete reply;
    });
    reply->sendRequest(findRequest());
    QSslSocket *const socket = reply->findChild<QSslSocket *>();
    if (how == kAbortAfterLine) { // connected after the reply's own handlers, so it runs after them
        connect(socket, &QSslSocket::encrypted, reply,
                [&] { connect(socket, &QSslSocket::readyRead, reply, &RegistryReply::abort); });
    }
    if (how == kAbortBeforeStart) {
        reply->abort();
        QCoreApplication::processEvents(); // the queued start comes and goes
    } else if (how != kDeleteInFinished) {
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests().size(), 1, 20000);
    }
    if (how == kAbortDuring || how == kDeleteDuring) {
        QVERIFY(reply->isInProgress());
        how == kAbortDuring ? reply->abort() : delete reply;
    }
    if (how == kDeleteInFinished) { // inside a running event loop, as in the program
        QSignalSpy destroyed(reply, &QObject::destroyed);
        QVERIFY(destroyed.wait(20000));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!reply || !reply->isInProgress(), 20000);
    runAnotherExchange();
    QCOMPARE(signalCount, how == kDeleteInFinished ? 1 : 0);
    QCOMPARE(standIn.connectionCount(), how == kAbortBeforeStart ? 0 : 1);
    QCOMPARE(reply.isNull(), how >= kDeleteDuring);
    delete reply;
}

void TestRegistryReply::blockingFromSeveralThreads()
{
    RegistryStandIn standIn;
    standIn.setDefaultAnswer(RegistryAnswer::echo());
    QVERIFY(standIn.start() && pointRegistryAt(standIn.port()));

    std::vector<QString> replies(6);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < replies.size(); ++i) {
        threads.emplace_back([i, &replies] {
            RegistryReply reply(kRegistryBlocking);
            reply.sendRequest(findRequest(QStringLiteral("user%1@example.com").arg(i)));
            replies[i] = QString::number(reply.replyCode()) + ' ' + reply.getReply();
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (size_t i = 0; i < replies.size(); ++i)
        QCOMPARE(replies[i],
                 QStringLiteral("1 OK HOMEBRIDGE_FIND: NAME=user%1@example.com\r\n").arg(i));
}

TOLVANE_TEST_MAIN(TestRegistryReply)
#include "tst_registryreply.moc"
