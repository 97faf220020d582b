#include "homebridge/registryconstants.h"
#include "homebridge/registryreply.h"
#include "support/registrystandin.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"

using namespace TolvaneMail;
using namespace TestSupport;
Q_DECLARE_METATYPE(TestSupport::RegistryAnswer)

namespace {

// Who answers at the registry's address: the stand-in with a leaf of the trusted CA, of a CA
// nobody trusts, or of the trusted CA for another host name; or a listener that never completes
// a connection.
enum Peer { kTrusted, kForeignCa, kWrongName, kStalled };

TestIdentity identity(int peer)
{
    CertificateOptions localhostOnly; // the client asks for 127.0.0.1
    localhostOnly.addresses.clear();
    return peer == kForeignCa   ? CertificateFactory::foreignLeaf()
           : peer == kWrongName ? CertificateFactory::makeLeaf(localhostOnly)
                                : CertificateFactory::leaf();
}

} // namespace

class TestRegistryReply : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exchange_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("peer");
        QTest::addColumn<RegistryAnswer>("answer");
        QTest::addColumn<int>("timeoutMs"); // data period, or handshake limit when blocking
        QTest::addColumn<int>("code");
        const auto row = [](const QByteArray &name, int mode, int peer,
                            const RegistryAnswer &answer, int timeoutMs, int code) {
            QTest::newRow(name.constData()) << mode << peer << answer << timeoutMs << code;
        };
        const int cap = int(RegistryReply::kMaxReplyLineBytes);
        const RegistryAnswer ok = RegistryAnswer::reply("OK\r\n");
        for (const int mode : {kRegistryAsynchronous, kRegistryBlocking}) {
            const QByteArray m = mode == kRegistryAsynchronous ? "async " : "blocking ";
            row(m + "found", mode, kTrusted, RegistryAnswer::reply("OK DATA=e30_\r\n"), 30000,
                kReplyOk);
            row(m + "foreign CA", mode, kForeignCa, ok, 30000, kReplySslError);
            row(m + "wrong host name", mode, kWrongName, ok, 30000, kReplySslError);
            // No line end can follow within the cap: the line is cut off at once.
            row(m + "cap without line end", mode, kTrusted,
                RegistryAnswer::reply(QByteArray(cap, 'A')), 30000, kReplyNetworkError);
        }
        row("async cap with line end", kRegistryAsynchronous, kTrusted,
            RegistryAnswer::reply("OK" + QByteArray(cap - 3, 'A') + '\n'), 30000, kReplyOk);
        row("async not found, then closed", kRegistryAsynchronous, kTrusted,
            {"FAILED_NOT_EXISTS\r\n", 0, 0, 0, true}, 30000, kReplyFailedNotExists);
        row("async handshake never answered", kRegistryAsynchronous, kStalled, ok, 500,
            kReplyNetworkError);
        row("blocking handshake never answered", kRegistryBlocking, kStalled, ok, 500, kReplyNone);
        // Each part comes within the data period of the one before, the whole line only after it.
        row("async split reply", kRegistryAsynchronous, kTrusted,
            {"FAILED_NOT_EXISTS\r\n", 0, 7, 1500}, 2500, kReplyFailedNotExists);
        // Every byte grants another data period, but the exchange as a whole has its limit.
        row("async trickle", kRegistryAsynchronous, kTrusted, {QByteArray(1000, 'x'), 0, 1, 100},
            1000, kReplyNetworkError);
    }

    // One request line out, one reply line back, and exactly one signal when asynchronous.
    void exchange()
    {
        QFETCH(int, mode);
        QFETCH(int, peer);
        QFETCH(RegistryAnswer, answer);
        QFETCH(int, timeoutMs);
        QFETCH(int, code);
        RegistryStandIn standIn(identity(peer));
        standIn.setDefaultAnswer(answer);
        StalledListener stalled;
        QVERIFY(standIn.start() && stalled.isValid());
        QVERIFY(peer == kStalled
                    ? RegistryStandIn::pointClientAt(stalled.port(), stalled.address().toString())
                    : standIn.pointClientHere());
        const RegistryRequest find(kHomeBridgeFind, QVariantMap{{RegistryConstants::kName, "a@b"}});

        const auto reply = std::make_unique<RegistryReply>(RegistryMode(mode));
        QSignalSpy finished(reply.get(), &RegistryReply::finished);
        QSignalSpy error(reply.get(), &RegistryReply::error);
        reply->setDataTimeout(timeoutMs);
        reply->setExchangeTimeout(2 * timeoutMs);
        reply->setEncryptionTimeout(timeoutMs);
        reply->setLineWaitInterval(300);
        reply->sendRequest(find);
        const bool failed = code == kReplySslError || code == kReplyNetworkError;
        if (mode == kRegistryAsynchronous)
            QVERIFY((failed ? error : finished).wait(20000));
        QTest::qWait(300); // nothing may follow, in either mode
        QCOMPARE(finished.count(), int(mode == kRegistryAsynchronous && !failed));
        QCOMPARE(error.count(), int(mode == kRegistryAsynchronous && failed));
        QCOMPARE(int(reply->replyCode()), code);
        QCOMPARE(reply->getReply(),
                 failed || code == kReplyNone ? QString() : QString(answer.text));
        QCOMPARE(standIn.requests().join(),
                 peer == kTrusted ? find.requestString().toLatin1() + "\r\n" : "");
    }

    void abandon_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("abort before the start") << 0;
        // The line is read and its signal on its way when the owner gives the exchange up.
        QTest::newRow("abort after the line came") << 1;
        QTest::newRow("delete in the finished() slot") << 2;
    }

    // An exchange given up emits nothing more, nor does one deleted by the slot it signalled; the
    // next exchange is served as usual.
    void abandon()
    {
        QFETCH(int, how);
        RegistryStandIn standIn;
        standIn.setDefaultAnswer(RegistryAnswer::reply("OK\r\n"));
        QVERIFY(standIn.start() && standIn.pointClientHere());
        const RegistryRequest find(kHomeBridgeFind, QVariantMap{{RegistryConstants::kName, "a@b"}});
        QPointer<RegistryReply> reply = new RegistryReply(kRegistryAsynchronous);
        int emitted = 0;
        connect(reply, &RegistryReply::error, this, [&] { ++emitted; });
        connect(reply, &RegistryReply::finished, this, [&] {
            if (++emitted && how == 2)
                delete reply;
        });
        reply->sendRequest(find);
        QSslSocket *const socket = reply->findChild<QSslSocket *>();
        if (how == 0)
            reply->abort();
        if (how == 1) // connected after the reply's own handlers, so it runs after them
            connect(socket, &QSslSocket::encrypted, reply,
                    [&] { connect(socket, &QSslSocket::readyRead, reply, &RegistryReply::abort); });
        QTRY_VERIFY_WITH_TIMEOUT(!reply || !reply->isInProgress(), 20000);
        RegistryReply next(kRegistryAsynchronous);
        QSignalSpy finished(&next, &RegistryReply::finished);
        next.sendRequest(find);
        QVERIFY(finished.wait(20000));
        QCOMPARE(emitted, how == 2 ? 1 : 0);
        QCOMPARE(standIn.requests().size(), how == 0 ? 1 : 2);
        QCOMPARE(reply.isNull(), how == 2);
        delete reply;
    }
};

TOLVANE_TEST_MAIN(TestRegistryReply)
#include "tst_registryreply.moc"
