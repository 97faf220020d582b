#include "homebridge/hbaccessmanager.h"
#include "relay/localsocket.h"
#include "relay/v2/connectionmanager.h"
#include "relay/v2/sessionmanager.h"
#include "support/certificatefactory.h"
#include "support/homebridgeroad.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"
#include "support/tlstestserver.h"

using namespace TestSupport;
using Finder = Relay::RelayConnectionHelper;

namespace {
const QString kAddress = QStringLiteral("jo.doe@tolvane.com");
// The desktop's external address on a network other than the phone's; nothing listens there.
const QByteArray kOtherNetwork = "127.0.0.5";

template <typename... Values> void addRow(const char *name, const Values &...values)
{
    (QTest::newRow(name) << ... << values);
}

// An access manager on a road whose paths all work, its signals recorded in order.
struct Fixture
{
    HomeBridgeRoad road;
    std::unique_ptr<HBAccessManager> manager = std::make_unique<HBAccessManager>();
    QStringList events; // "found", "connected", "disconnected", "error<code>"

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
        QObject::connect(manager.get(), &HBAccessManager::error,
                         [this](int code) { events << "error" + QString::number(code); });
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
    QCOMPARE(client.peerCertificate(), CertificateFactory::localService().certificate);
    const QByteArray payload = "RETR 1\r\n" + QByteArray::number(port);
    client.write(payload);
    QTRY_COMPARE_WITH_TIMEOUT(service->openBytes(), qint64(payload.size()), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(client.peek(payload.size()), echo ? payload : QByteArray(), 20000);
}
} // namespace

class TestHBAccessManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        Finder::setForceRelay(false);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void road_data()
    {
        // What differs from a road whose paths all work (the record's changes, FIELD=value of the
        // registry's reply, the endpoints' and the desktop's faults), and what comes of it: the
        // path taken (after "found" and "connected") or the signals up to the first error, then the
        // account type.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("outcome");
        addRow("LAN alone", "no-internet no-relay", "kLAN 3");
        addRow("Internet alone", "no-lan no-relay", "kInternet 3");
        addRow("relay alone", "no-lan no-internet", "kRelay 3");
        addRow("LAN relay service version 1", "version-1", "kInternet 3");
        addRow("desktop on another network", "other-network", "kInternet 3");
        addRow("LAN closed", "lan-closed", "kInternet 3");
        addRow("LAN silent", "lan-silent", "kInternet 3");
        addRow("LAN shows another certificate", "lan-foreign", "kInternet 3");
        addRow("LAN closed, Internet another", "lan-closed internet-foreign", "kRelay 3");
        addRow("LAN silent, Internet closed", "lan-silent internet-closed", "kRelay 3");
        addRow("force relay", "-r", "kRelay 3");
        addRow("force relay, no relay server", "-r no-relay", "found error5 3");
        addRow("record without certificate", "no-certificate", "found error5 3");
        addRow("no local port for POP3", "pop3-port-taken", "found error5 3");
        addRow("LAPSED 3000", "LAPSED=3000", "kLAN 3");
        addRow("LAPSED 3001", "LAPSED=3001", "error1 3");
        addRow("no such user", "no-user", "error0 1");
        addRow("unknown reply", "bad-reply", "error4 1");
        addRow("registry silent", "silent-registry", "error4 1");
        addRow("record does not parse", "broken", "error3 3");
        addRow("record empty", "empty-data", "error3 3");
        addRow("record missing", "no-data", "error3 3");
        addRow("direct", "direct DEVICE_TYPE=pro", "kPro 4");
        addRow("direct, HIPAA", "direct DEVICE_TYPE=pro HIPAA=true", "kPro 5");
        addRow("domain differs in case", "direct @Tolvane.com", "kPro 4");
        addRow("no PMTP wanted, port 0", "direct @Tolvane.com no-pmtp pmtp-0", "kPro 4");
        addRow("direct, PMTP port 0", "direct @Tolvane.com pmtp-0", "error3 4");
        addRow("direct, SMTP port 0", "direct @Tolvane.com smtp-0", "error3 4");
        addRow("direct, no host", "direct @Tolvane.com no-host", "error3 4");
    }

    void road()
    {
        QFETCH(QString, setup);
        QFETCH(QString, outcome);
        const QStringList tokens = setup.split(' ');
        const auto has = [&tokens](const QString &token) { return tokens.contains(token); };
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
        HBDSettings &settings = record.settings();
        settings.Outgoing.LocalPort = has("smtp-0") ? 0 : settings.Outgoing.LocalPort;
        settings.Tolvane.ExternalPort = has("pmtp-0") ? 0 : settings.Tolvane.ExternalPort;
        settings.RelayServer.Version = has("version-1") ? 1 : settings.RelayServer.Version;
        const QStringList fields = tokens.filter(QRegularExpression("^[A-Z_]+="));
        QByteArray reply = has("broken") ? RegistryStandIn::findReply("{\"Info\":")
                                         : road.findReply(record, fields.join(", ").toLatin1());
        reply = has("no-user")           ? "FAILED_NOT_EXISTS\r\n"
                : has("bad-reply")       ? "WHAT?\r\n"
                : has("silent-registry") ? ""
                : has("empty-data")      ? "OK DATA=\r\n"
                : has("no-data")         ? "OK\r\n"
                                         : reply;
        road.registry.setDefaultAnswer(RegistryAnswer::reply(reply));
        if (has("other-network"))
            road.echo.setDefaultResponse(HttpStubServer::Response::ok(kOtherNetwork));
        f.manager->setRegistryTimeout(500);

        TlsTestServer silent(CertificateFactory::homeBridge(1));
        TlsTestServer foreign(CertificateFactory::homeBridge(1));
        silent.setStarter([](QSslSocket *) {});
        QVERIFY(silent.listenOnLoopback() && foreign.listenOnLoopback());
        for (RelayServerStandIn *endpoint : {&road.lan, &road.internet}) {
            const QString name = endpoint == &road.lan ? "lan-" : "internet-";
            if (has(name + "closed"))
                endpoint->stopListening();
            if (has(name + "silent") || has(name + "foreign"))
                endpoint->serveLocally(Relay::kServicePMTP,
                                       (has(name + "silent") ? silent : foreign).serverPort());
        }
        Finder::setForceRelay(has("-r"));
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        Relay::ConnectionManager *relay = f.manager->endpointFinder().connectionManager();
        if (has("pop3-port-taken")) // once the check's forward exists
            connect(relay, &Relay::ConnectionManager::connected, relay,
                    [&] { relay->setForwardPort(taken.serverPort()); });

        const bool withPMTP = !has("no-pmtp");
        f.manager->connectToHomeBridge(has("@Tolvane.com") ? "jo@Tolvane.com" : ' ' + kAddress,
                                       withPMTP);
        QStringList expected = outcome.split(' ');
        const int type = expected.takeLast().toInt();
        const QString path = expected.first().startsWith('k') ? expected.first() : QString();
        expected = path.isEmpty() ? expected : QStringList{"found", "connected"};
        QTRY_COMPARE_WITH_TIMEOUT(f.events.mid(0, expected.size()), expected, 30000);
        QCOMPARE(int(f.manager->accountType()), type);
        if (path.isEmpty()) {
            // An unknown user stops the manager; anything else is tried again.
            QCOMPARE(f.manager->isActive(), expected.last() != "error0");
            if (f.manager->isActive())
                QTRY_VERIFY(road.registry.requests().size() > 1 &&
                            f.events.count(expected.last()) > 1);
            return;
        }
        QCOMPARE(QString(TolvaneMail::toString(f.manager->connectionType())), path);
        // The endpoints tried before the one that worked have been left.
        QTRY_COMPARE(road.lan.linkCount(), int(path == "kLAN"));
        QTRY_COMPARE(road.internet.linkCount(), int(path == "kInternet"));
        HBAccessManager &m = *f.manager;
        exchange(m.pop3Address(), m.pop3Port(), road.phone.pop3(), true);
        exchange(m.smtpAddress(), m.smtpPort(), road.phone.smtp(), false);
        if (withPMTP)
            exchange(m.pmtpAddress(), m.pmtpPort(), road.phone.pmtp(), true);
        QCOMPARE(m.pmtpPort() != 0, withPMTP);
    }

    void supersededSearch_data()
    {
        // A reset or a new connectToHomeBridge in each phase of an attempt, or the finder
        // cancelled: what the manager reports, from first to last (a new attempt's answer comes
        // after the old one's).
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("events");
        addRow("address lookup, connect", "address", "connect", "found found connected");
        addRow("address lookup, disconnect", "address", "disconnect", "found");
        addRow("address lookup, destroy", "address", "destroy", "found");
        addRow("relay attempt, connect", "relay", "connect", "found found connected");
        addRow("certificate check, connect", "check", "connect", "found found connected");
        addRow("connected, disconnect", "connected", "disconnect", "found connected");
        // Cancelling ends the relay connection the finder found; the manager looks up again.
        addRow("connected, cancel the finder", "connected", "cancel",
               "found connected disconnected found connected");
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
        road.registry.enqueue(RegistryAnswer::reply(reply));
        road.registry.setDefaultAnswer(RegistryAnswer::reply(reply, 600));
        bool acted = false;
        const auto act = [&] {
            if (std::exchange(acted, true))
                return;
            if (action == "destroy")
                f.manager.reset();
            else if (action == "disconnect")
                f.manager->disconnectFromHomeBridge();
            else if (action == "cancel")
                f.manager->endpointFinder().cancel();
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
        if (phase == "connected")
            connect(f.manager.get(), &HBAccessManager::connected, &context, act);
        f.manager->connectToHomeBridge(kAddress, true);
        QTRY_VERIFY_WITH_TIMEOUT(acted, 30000);
        const bool again = action == "connect" || action == "cancel";
        if (again) {
            QTRY_COMPARE_WITH_TIMEOUT(f.events.join(' '), events, 30000);
        } else {
            QTRY_COMPARE(road.lan.linkCount(), 0);
            QTest::qWait(300); // nothing may follow
            QCOMPARE(f.events.join(' '), events);
        }
        QCOMPARE(road.registry.requests().size(), again ? 2 : 1);
        QCOMPARE(road.lan.linkCount(), int(again));
    }

    void relayLost()
    {
        Fixture f;
        QVERIFY(f.start());
        Finder::setForceRelay(true);
        f.manager->setReconnectThreshold(0);
        f.manager->setRetryInterval(60000);
        f.manager->connectToHomeBridge(kAddress, true);
        QTRY_COMPARE_WITH_TIMEOUT(f.events.count("connected"), 1, 30000);
        // Up long enough: looked up and connected again at once.
        f.road.relay.dropNewest();
        QTRY_COMPARE_WITH_TIMEOUT(f.events.count("connected"), 2, 30000);
        // Dropped again soon: the next lookup waits for the retry interval.
        f.manager->setReconnectThreshold(60000);
        f.manager->setRetryInterval(1000);
        QElapsedTimer clock;
        clock.start();
        f.road.relay.dropNewest();
        QTRY_COMPARE_WITH_TIMEOUT(f.road.registry.requests().size(), 3, 30000);
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(f.events.count("connected"), 3, 30000);
        // The phone leaves its session: the relay connection goes too.
        f.road.phone.sessionManager()->close();
        QTRY_COMPARE_WITH_TIMEOUT(f.events.count("disconnected"), 3, 30000);
        QCOMPARE(f.events.join(' '), "found connected disconnected found connected disconnected "
                                     "found connected disconnected");
    }

    void stalledCheck_data()
    {
        QTest::addColumn<bool>("forceRelay");
        QTest::addColumn<QString>("outcome");
        addRow("LAN, then Internet", false, QString("found kInternet"));
        addRow("relay alone", true, QString("failed"));
    }

    // The certificate check of the first candidate cannot connect to its forward: at the
    // checker's time-out the finder fails that candidate and moves on, or reports failed() when
    // none is left.
    void stalledCheck()
    {
        QFETCH(bool, forceRelay);
        QFETCH(QString, outcome);
        HomeBridgeRoad road;
        QVERIFY(road.start(QDir::current().absoluteFilePath(QStringLiteral("config"))));
        Finder::setForceRelay(forceRelay);
        Finder finder;
        finder.setCheckTimeout(500);
        finder.setHomeBridgeData(road.record);
        const QString externalIP = HomeBridgeRoad::kInternetAddress.toString();
        finder.setExternalIP(externalIP);
        // The first candidate's forward is there before the search and takes no connection.
        const Finder::ConnectionParams first = Finder::candidates(road.record, externalIP).first();
        Relay::ConnectionManager *relay = finder.connectionManager();
        const quint16 port = relay->addForward(first.sessionId, first.serviceId);
        relay->findChild<Relay::LocalSocket *>()->pauseAccepting();
        StalledListener stalled(QHostAddress(QHostAddress::LocalHost), port);
        QVERIFY(stalled.isValid());
        QStringList events;
        connect(&finder, &Finder::found, this, [&] {
            events << "found" << TolvaneMail::toString(finder.currentConnectionType());
        });
        connect(&finder, &Finder::failed, this, [&] { events << "failed"; });
        finder.findBestConnection();
        QTRY_COMPARE_WITH_TIMEOUT(events.join(' '), outcome, 30000);
    }

    // The relay's session id is the record's, all 64 bits of it.
    void relaySessionId()
    {
        HomeBridgeData record;
        record.info().Relay2 = {"127.0.0.4", 5, "18446744073709551615"};
        QCOMPARE(Finder::candidates(record, QString()).first().sessionId, ~0ull);
    }

    void errorTexts()
    {
        const QString head =
            "Connection to email server\ncannot be established. Please check your\n"
            "Internet connection";
        const QString full = head + " and make sure that\nour application is running on your "
                                    "phone.\nNote: keep in mind that your mobile phone is\nyour "
                                    "own email server; the application\nshould always be running "
                                    "to send/receive emails";
        QCOMPARE(errorString(HBAccessManager::kAccountNotFound, true),
                 "Incorrect username and/or password");
        QCOMPARE(errorString(HBAccessManager::kConnectionFailed, true), head);
        QCOMPARE(errorString(HBAccessManager::kConnectionFailed, false), full);
    }
};

TOLVANE_TEST_MAIN(TestHBAccessManager)
#include "tst_hbaccessmanager.moc"
