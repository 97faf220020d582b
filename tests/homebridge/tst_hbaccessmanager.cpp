#include "homebridge/hbaccessmanager.h"
#include "relay/v2/connectionmanager.h"
#include "support/homebridgeroad.h"
#include "support/testcertificate.h"
#include "support/testmain.h"
#include "support/tlstestserver.h"

#include <QSignalSpy>
#include <QtTest>

using namespace TestSupport;
using Finder = Relay::RelayConnectionHelper;

namespace {
const QString kAddress = QStringLiteral("jo.doe@tolvane.com");

// One row of a data table.
template <typename... Values> void addRow(const char *name, const Values &...values)
{
    (QTest::newRow(name) << ... << values);
}

// An access manager on a road whose paths all work, its signals recorded in order.
struct Fixture
{
    HomeBridgeRoad road;
    std::unique_ptr<HBAccessManager> manager = std::make_unique<HBAccessManager>();
    QSignalSpy errors{manager.get(), &HBAccessManager::error};
    QStringList events;

    bool start()
    {
        manager->setRetryInterval(100);
        manager->endpointFinder().setCheckTimeout(500);
        const auto log = [this](auto signal, const char *name) {
            QObject::connect(manager.get(), signal, [this, name] { events << name; });
        };
        log(&HBAccessManager::found, "found");
        log(&HBAccessManager::connected, "connected");
        log(&HBAccessManager::disconnected, "disconnected");
        log(&HBAccessManager::error, "error");
        return road.start(QDir::current().absoluteFilePath(QStringLiteral("config")));
    }
};

// A mail client's TLS connection through a port the manager offers: its bytes reach the phone's
// service, and an echo service sends them back.
void exchange(const QString &host, quint16 port, TlsTestService *service, bool echo)
{
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.connectToHostEncrypted(host, port);
    QTRY_VERIFY_WITH_TIMEOUT(client.isEncrypted(), 20000);
    QCOMPARE(client.peerCertificate(), TestCertificate::certificate());
    const QByteArray payload = "RETR 1\r\n" + QByteArray::number(port);
    client.write(payload);
    QTRY_COMPARE_WITH_TIMEOUT(service->openBytes(), qint64(payload.size()), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(echo ? payload.size() : 0), 20000);
    QCOMPARE(client.readAll(), echo ? payload : QByteArray());
}
} // namespace

class TestHBAccessManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<HBAccessManager::ErrorCode>(); }

    void cleanup()
    {
        Finder::setForceRelay(false);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void road_data()
    {
        // What differs from a road whose paths all work (the record's changes, FIELD=value of
        // the registry's reply, the endpoints' and the desktop's faults), and what comes of it:
        // the path taken, or the first error code; then the account type.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("outcome");
        addRow("LAN alone", "no-internet no-relay", "kLAN 3");
        addRow("Internet alone", "no-lan no-relay", "kInternet 3");
        addRow("relay alone", "no-lan no-internet", "kRelay 3");
        addRow("LAN relay service version 1", "version-1", "kInternet 3");
        addRow("LAN closed", "lan=closed", "kInternet 3");
        addRow("LAN silent", "lan=silent", "kInternet 3");
        addRow("LAN shows another certificate", "lan=foreign", "kInternet 3");
        addRow("LAN closed, Internet another", "lan=closed internet=foreign", "kRelay 3");
        addRow("LAN silent, Internet closed", "lan=silent internet=closed", "kRelay 3");
        addRow("force relay", "-r", "kRelay 3");
        addRow("force relay, no relay server", "-r no-relay", "error 5 3");
        addRow("record without certificate", "no-certificate", "error 5 3");
        addRow("no local port for the check", "check-port-taken", "error 5 3");
        addRow("no local port for POP3", "pop3-port-taken", "error 5 3");
        addRow("LAPSED 3000", "LAPSED=3000", "kLAN 3");
        addRow("LAPSED 3001", "LAPSED=3001", "error 1 3");
        addRow("no such user", "answer=FAILED_NOT_EXISTS", "error 0 1");
        addRow("unknown reply", "answer=WHAT?", "error 4 1");
        addRow("registry closes", "registry=close", "error 4 1");
        addRow("registry silent", "registry=silence", "error 4 1");
        addRow("record does not parse", "broken", "error 3 3");
        addRow("direct", "direct DEVICE_TYPE=pro", "kPro 4");
        addRow("direct, HIPAA", "direct DEVICE_TYPE=pro HIPAA=true", "kPro 5");
        addRow("domain differs in case", "direct @Tolvane.com", "kPro 4");
        addRow("no PMTP wanted, port 0", "direct @Tolvane.com no-pmtp pmtp-0", "kPro 4");
        addRow("direct, PMTP port 0", "direct @Tolvane.com pmtp-0", "error 3 4");
        addRow("direct, SMTP port 0", "direct @Tolvane.com smtp-0", "error 3 4");
        addRow("direct, no host", "direct @Tolvane.com no-host", "error 3 4");
    }

    void road()
    {
        QFETCH(QString, setup);
        QFETCH(QString, outcome);
        const QStringList tokens = setup.split(' ');
        const auto has = [&tokens](const char *token) { return tokens.contains(token); };
        const auto value = [&tokens](const QString &key) {
            const QStringList found = tokens.filter(QRegularExpression('^' + key + '='));
            return found.isEmpty() ? QString() : found.first().section('=', 1);
        };
        Fixture f;
        QVERIFY(f.start());
        HomeBridgeRoad &road = f.road;
        HomeBridgeData record = has("direct") ? road.directRecord() : road.record;
        HBDInfo &info = record.info();
        info.LocalIP = has("no-lan") ? QString() : info.LocalIP;
        info.Addressable = info.Addressable && !has("no-internet");
        info.Relay2.Address = has("no-relay") ? QString() : info.Relay2.Address;
        info.Certificate = has("no-certificate") ? QSslCertificate() : info.Certificate;
        info.Host = has("no-host") ? QString() : info.Host; // no Outgoing host either
        if (has("smtp-0"))
            record.settings().Outgoing.LocalPort = 0;
        if (has("pmtp-0"))
            record.settings().Tolvane.ExternalPort = 0;
        if (has("version-1"))
            record.settings().RelayServer.Version = 1;
        const QStringList fields = tokens.filter(QRegularExpression("^[A-Z_]+="));
        RegistryAnswer answer = RegistryAnswer::reply(
            has("broken") ? RegistryStandIn::findReply("{\"Info\":")
                          : road.findReply(record, fields.join(", ").toLatin1()));
        if (!value("answer").isEmpty())
            answer.text = value("answer").toLatin1() + "\r\n";
        if (!value("registry").isEmpty())
            answer =
                value("registry") == "close" ? RegistryAnswer::close() : RegistryAnswer::silence();
        road.registry.setDefaultAnswer(answer);

        TlsTestServer silent(CertificateFactory::homeBridge(1));
        TlsTestServer foreign(CertificateFactory::homeBridge(1));
        silent.setStarter([](QSslSocket *) {});
        QVERIFY(silent.listenOnLoopback() && foreign.listenOnLoopback());
        for (RelayServerStandIn *endpoint : {&road.lan, &road.internet}) {
            const QString how = value(endpoint == &road.lan ? "lan" : "internet");
            if (how == "closed")
                endpoint->stopListening();
            else if (!how.isEmpty())
                endpoint->serveLocally(Relay::kServicePMTP,
                                       (how == "silent" ? silent : foreign).serverPort());
        }
        Finder::setForceRelay(has("-r"));
        f.manager->setRegistryTimeout(500);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        Relay::ConnectionManager *relay = f.manager->endpointFinder().connectionManager();
        if (has("check-port-taken"))
            relay->setForwardPort(taken.serverPort());
        if (has("pop3-port-taken")) // once the check's forward exists
            connect(relay, &Relay::ConnectionManager::connected, relay,
                    [&] { relay->setForwardPort(taken.serverPort()); });

        const bool withPMTP = !has("no-pmtp");
        f.manager->connectToHomeBridge(has("@Tolvane.com") ? "jo@Tolvane.com" : ' ' + kAddress,
                                       withPMTP);
        const QStringList expected = outcome.split(' ');
        if (expected.first() == "error") {
            QTRY_VERIFY_WITH_TIMEOUT(!f.errors.isEmpty(), 30000);
            const int error = f.errors.first().at(0).value<HBAccessManager::ErrorCode>();
            QCOMPARE(error, expected.at(1).toInt());
            QCOMPARE(f.events.count("connected"), 0);
            // An unknown user stops the manager; anything else is tried again.
            QCOMPARE(f.manager->isActive(), error != HBAccessManager::kAccountNotFound);
            if (f.manager->isActive())
                QTRY_VERIFY(road.registry.connectionCount() > 1 && f.errors.count() > 1);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(f.events.count("connected"), 1, 30000);
            QCOMPARE(f.events, QStringList({"found", "connected"}));
            QCOMPARE(QString(TolvaneMail::toString(f.manager->connectionType())), expected.first());
            // The endpoints tried before the one that worked have been left.
            const auto type = f.manager->connectionType();
            QTRY_COMPARE(road.lan.linkCount(), int(type == TolvaneMail::kLAN));
            QTRY_COMPARE(road.internet.linkCount(), int(type == TolvaneMail::kInternet));
            HBAccessManager &m = *f.manager;
            exchange(m.pop3Address(), m.pop3Port(), road.phone.pop3(), true);
            exchange(m.smtpAddress(), m.smtpPort(), road.phone.smtp(), false);
            if (withPMTP)
                exchange(m.pmtpAddress(), m.pmtpPort(), road.phone.pmtp(), true);
            QCOMPARE(m.pmtpPort() != 0, withPMTP);
        }
        QCOMPARE(int(f.manager->accountType()), expected.last().toInt());
    }

    void supersededSearch_data()
    {
        // A reset or a new connectToHomeBridge in each phase of an attempt: what the manager
        // reports, from first to last (a new attempt's answer comes after the old one's).
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("events");
        addRow("lookup, connect", "lookup", "connect", "found connected");
        addRow("address lookup, connect", "address", "connect", "found found connected");
        addRow("address lookup, disconnect", "address", "disconnect", "found");
        addRow("address lookup, destroy", "address", "destroy", "found");
        addRow("relay attempt, connect", "relay", "connect", "found found connected");
        addRow("certificate check, connect", "check", "connect", "found found connected");
        addRow("connected, connect", "connected", "connect", "found connected found connected");
        addRow("connected, disconnect", "connected", "disconnect", "found connected");
    }

    void supersededSearch()
    {
        QFETCH(QString, phase);
        QFETCH(QString, action);
        QFETCH(QString, events);
        Fixture f;
        QVERIFY(f.start());
        HomeBridgeRoad &road = f.road;
        const QByteArray reply = road.findReply(road.record);
        road.registry.enqueue(RegistryAnswer::reply(reply, phase == "lookup" ? 300 : 0));
        road.registry.setDefaultAnswer(RegistryAnswer::reply(reply, 600));
        bool acted = false;
        const auto act = [&] {
            if (acted)
                return;
            acted = true;
            if (action == "destroy")
                f.manager.reset();
            else if (action == "disconnect")
                f.manager->disconnectFromHomeBridge();
            else
                f.manager->connectToHomeBridge(kAddress, true);
        };
        QObject context;
        if (phase == "address") // inside the lookup's own event loop
            connect(&road.echo, &HttpStubServer::requestReceived, &context, act);
        if (phase == "relay")
            connect(&road.lan, &RelayServerStandIn::linkAccepted, &context, act);
        if (phase == "check") // the finder has just started the check
            connect(f.manager->endpointFinder().connectionManager(),
                    &Relay::ConnectionManager::connected, &context, act);

        f.manager->connectToHomeBridge(kAddress, true);
        if (phase == "lookup")
            QTRY_COMPARE(road.registry.requests().size(), 1);
        if (phase == "connected")
            QTRY_COMPARE(f.events.count("connected"), 1);
        if (phase == "lookup" || phase == "connected")
            act();
        QTRY_VERIFY_WITH_TIMEOUT(acted, 30000);
        if (action == "connect") {
            QTRY_COMPARE_WITH_TIMEOUT(f.events.join(' '), events, 30000);
        } else {
            QTRY_COMPARE(road.lan.linkCount(), 0);
            QTest::qWait(300); // nothing may follow
            QCOMPARE(f.events.join(' '), events);
        }
        QCOMPARE(road.registry.requests().size(), action == "connect" ? 2 : 1);
        QCOMPARE(road.lan.linkCount(), int(action == "connect"));
    }

    void relayDroppedTwice()
    {
        Fixture f;
        QVERIFY(f.start());
        Finder::setForceRelay(true);
        f.manager->setReconnectThreshold(0);
        f.manager->connectToHomeBridge(kAddress, true);
        QTRY_COMPARE_WITH_TIMEOUT(f.events.count("connected"), 1, 30000);

        // Up long enough: looked up and connected again at once.
        f.road.relay.dropNewest();
        QTRY_COMPARE_WITH_TIMEOUT(f.events.count("connected"), 2, 30000);
        QCOMPARE(f.events.count("disconnected"), 1);

        // Dropped again soon: the next lookup waits for the retry interval.
        f.manager->setReconnectThreshold(60000);
        f.manager->setRetryInterval(1000);
        QElapsedTimer clock;
        clock.start();
        f.road.relay.dropNewest();
        QTRY_COMPARE_WITH_TIMEOUT(f.road.registry.requests().size(), 3, 30000);
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(f.events.count("connected"), 3, 30000);
        QCOMPARE(f.events.join(' '), "found connected disconnected found connected disconnected "
                                     "found connected");
    }

    void candidates_data()
    {
        QTest::addColumn<QString>("externalIP"); // the desktop's, and the record's
        QTest::addColumn<QString>("session");
        QTest::addColumn<bool>("forceRelay");
        QTest::addColumn<QString>("expected"); // types, then the relay's session id
        addRow("all three", "127.0.0.2", "7", false, "kLAN kInternet kRelay 7");
        addRow("no external address", "", "7", false, "kInternet kRelay 7");
        addRow("largest session", "127.0.0.2", "18446744073709551615", true,
               "kRelay 18446744073709551615");
        addRow("session beyond 64 bits", "127.0.0.2", "18446744073709551616", true, "kRelay 0");
        addRow("session not a number", "127.0.0.2", "7a", true, "kRelay 0");
    }

    void candidates()
    {
        QFETCH(QString, externalIP);
        QFETCH(QString, session);
        QFETCH(bool, forceRelay);
        QFETCH(QString, expected);
        HomeBridgeData record;
        record.info().ExternalIP = externalIP;
        record.info().LocalIP = QStringLiteral("127.0.0.3");
        record.info().Addressable = true;
        record.info().Relay2 = {"127.0.0.4", 5, session};
        record.settings().RelayServer.Version = 2;
        Finder::setForceRelay(forceRelay);
        const auto queue = Finder::candidates(record, externalIP);
        QStringList listed;
        for (const Finder::ConnectionParams &candidate : queue)
            listed << TolvaneMail::toString(candidate.type);
        listed << QString::number(queue.isEmpty() ? 0 : queue.last().sessionId);
        QCOMPARE(listed.join(' '), expected);
    }

    void errorTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("shortText");
        QTest::addColumn<QString>("text");
        const QString head =
            "Connection to email server\ncannot be established. Please check your\n";
        const QString full = head + "Internet connection and make sure that\n"
                                    "our application is running on your phone.\n"
                                    "Note: keep in mind that your mobile phone is\n"
                                    "your own email server; the application\n"
                                    "should always be running to send/receive emails";
        addRow("no such account", 0, true, "Incorrect username and/or password");
        addRow("registry failed", 4, false, head + "Internet connection");
        addRow("connection failed, short", 5, true, head + "Internet connection");
        addRow("connection failed, long", 5, false, full);
        addRow("no such code", 6, false, "");
    }

    void errorTexts()
    {
        QFETCH(int, code);
        QFETCH(bool, shortText);
        QFETCH(QString, text);
        QCOMPARE(errorString(HBAccessManager::ErrorCode(code), shortText), text);
    }
};

TOLVANE_TEST_MAIN(TestHBAccessManager)
#include "tst_hbaccessmanager.moc"
