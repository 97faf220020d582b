#include "core/extsslsocket.h"

#include "core/clienthelloreader.h"
#include "log/logger.h"
#include "support/certificatefactory.h"
#include "support/clienthellocapture.h"
#include "support/logcapture.h"
#include "support/testmain.h"
#include "support/tlstestserver.h"

#include <QSslConfiguration>
#include <QTcpServer>
#include <QtTest>
#include <memory>

using TestSupport::CertificateFactory;
using TestSupport::TlsTestServer;

namespace {
// Registers the identities the tests ask for by name; the socket's own default identity is the
// first HomeBridge certificate.
void registerIdentities(ExtSslSocket *socket)
{
    const auto &fallback = CertificateFactory::homeBridge(0);
    socket->setLocalCertificate(fallback.certificate);
    socket->setPrivateKey(fallback.key);

    const auto &leaf = CertificateFactory::leaf();
    socket->setHostLocalCertificateChain(QStringLiteral("one.localhost"),
                                         {leaf.certificate, CertificateFactory::ca().certificate});
    socket->setHostPrivateKey(QStringLiteral("one.localhost"), leaf.key);

    const auto &other = CertificateFactory::otherLeaf();
    socket->setHostLocalCertificate(QStringLiteral("two.localhost"), other.certificate);
    socket->setHostPrivateKey(QStringLiteral("two.localhost"), other.key);

    // A chain without a key is not an identity.
    socket->setHostLocalCertificate(QStringLiteral("keyless.localhost"), other.certificate);
}

std::unique_ptr<TlsTestServer> makeServer(bool startAtOnce = true)
{
    auto server = std::make_unique<TlsTestServer>(CertificateFactory::homeBridge(0));
    server->setSocketFactory([](QObject *parent) { return new ExtSslSocket(parent); });
    server->setStarter([startAtOnce](QSslSocket *socket) {
        auto *ext = static_cast<ExtSslSocket *>(socket);
        registerIdentities(ext);
        if (startAtOnce)
            ext->startServerEncryption();
    });
    return server;
}

std::unique_ptr<QSslSocket> makeClient()
{
    auto client = std::make_unique<QSslSocket>();
    QSslConfiguration configuration = client->sslConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    client->setSslConfiguration(configuration);
    return client;
}
} // namespace

class TestExtSslSocket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        Log::Logger("SslSocket").setLevel(Log::DEBUG);
    }

    void identityByServerName_data()
    {
        QTest::addColumn<QString>("peerName");
        QTest::addColumn<QString>("loggedName");
        QTest::addColumn<QSslCertificate>("expected");
        QTest::addColumn<int>("chainLength");
        const QSslCertificate leaf = CertificateFactory::leaf().certificate;
        const QSslCertificate other = CertificateFactory::otherLeaf().certificate;
        const QSslCertificate fallback = CertificateFactory::homeBridge(0).certificate;
        QTest::newRow("first name") << "one.localhost" << "one.localhost" << leaf << 2;
        QTest::newRow("second name") << "two.localhost" << "two.localhost" << other << 1;
        QTest::newRow("first label dropped")
            << "mail.two.localhost" << "mail.two.localhost" << other << 1;
        QTest::newRow("only one label is dropped")
            << "x.mail.two.localhost" << "x.mail.two.localhost" << fallback << 1;
        QTest::newRow("unknown name") << "unknown.localhost" << "unknown.localhost" << fallback << 1;
        QTest::newRow("name without a key") << "keyless.localhost" << "keyless.localhost"
                                            << fallback << 1;
        QTest::newRow("no server name") << "127.0.0.1" << "" << fallback << 1;
    }

    void identityByServerName()
    {
        QFETCH(QString, peerName);
        QFETCH(QString, loggedName);
        QFETCH(QSslCertificate, expected);
        QFETCH(int, chainLength);

        TestSupport::LogCapture log;
        auto server = makeServer();
        QVERIFY(server->listenOnLoopback());
        auto client = makeClient();
        QSignalSpy encrypted(client.get(), &QSslSocket::encrypted);
        client->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server->serverPort(), peerName);
        QVERIFY(encrypted.wait(30000));
        QCOMPARE(client->peerCertificate(), expected);
        QCOMPARE(client->peerCertificateChain().size(), chainLength);
        QCOMPARE(log.count(QStringLiteral("Name: \"%1\"").arg(loggedName)), 1);
        QCOMPARE(server->sockets().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(server->sockets().first()->isEncrypted(), 30000);

        // The encrypted connection carries data both ways.
        QSslSocket *serverSide = server->sockets().first();
        client->write("ping");
        QTRY_COMPARE_WITH_TIMEOUT(serverSide->bytesAvailable(), qint64(4), 30000);
        QCOMPARE(serverSide->readAll(), QByteArray("ping"));
    }

    void helloSplitOverTwoSegments()
    {
        int serverReadyReads = 0;
        auto server = std::make_unique<TlsTestServer>(CertificateFactory::homeBridge(0));
        server->setSocketFactory([](QObject *parent) { return new ExtSslSocket(parent); });
        server->setStarter([&serverReadyReads](QSslSocket *socket) {
            auto *ext = static_cast<ExtSslSocket *>(socket);
            registerIdentities(ext);
            ext->startServerEncryption();
            // Connected after the socket's own slot, so it counts readyRead()s already handled.
            connect(ext, &QIODevice::readyRead, ext, [&serverReadyReads] { ++serverReadyReads; });
        });
        QVERIFY(server->listenOnLoopback());

        // The client talks to a relay that holds its ClientHello back and passes it on in two
        // parts.
        QTcpServer relay;
        QVERIFY(relay.listen(QHostAddress::LocalHost));
        auto client = makeClient();
        QSignalSpy encrypted(client.get(), &QSslSocket::encrypted);
        client->connectToHostEncrypted(QStringLiteral("127.0.0.1"), relay.serverPort(),
                                       QStringLiteral("one.localhost"));
        QTRY_VERIFY_WITH_TIMEOUT(relay.hasPendingConnections(), 30000);
        std::unique_ptr<QTcpSocket> down(relay.nextPendingConnection());
        QByteArray hello;
        QVERIFY(QTest::qWaitFor(
            [&] {
                hello += down->readAll();
                return checkSSLPackageReady(hello);
            },
            30000));

        QTcpSocket up;
        up.connectToHost(QHostAddress::LocalHost, server->serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(server->sockets().size(), 1, 30000);
        QSslSocket *serverSide = server->sockets().first();
        const int split = 20;
        up.write(hello.left(split));
        QTRY_COMPARE_WITH_TIMEOUT(serverReadyReads, 1, 30000);
        QCOMPARE(serverSide->mode(), QSslSocket::UnencryptedMode);
        QCOMPARE(serverSide->bytesAvailable(), qint64(split));

        up.write(hello.mid(split));
        QTRY_COMPARE_WITH_TIMEOUT(serverSide->mode(), QSslSocket::SslServerMode, 30000);

        // From here the relay passes everything through.
        connect(down.get(), &QIODevice::readyRead, &up, [&] { up.write(down->readAll()); });
        connect(&up, &QIODevice::readyRead, down.get(), [&] { down->write(up.readAll()); });
        down->write(up.readAll());
        up.write(down->readAll());
        QVERIFY(encrypted.wait(30000));
        QCOMPARE(client->peerCertificate(), CertificateFactory::leaf().certificate);
    }

    void helloThatArrivedBeforeTheCall()
    {
        auto server = makeServer(false);
        QVERIFY(server->listenOnLoopback());
        auto client = makeClient();
        QSignalSpy encrypted(client.get(), &QSslSocket::encrypted);
        client->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server->serverPort(),
                                       QStringLiteral("two.localhost"));
        QTRY_COMPARE_WITH_TIMEOUT(server->sockets().size(), 1, 30000);
        auto *ext = static_cast<ExtSslSocket *>(server->sockets().first());
        QTRY_VERIFY_WITH_TIMEOUT(ext->bytesAvailable() > 0, 30000);
        ext->startServerEncryption();
        QVERIFY(encrypted.wait(30000));
        QCOMPARE(client->peerCertificate(), CertificateFactory::otherLeaf().certificate);
    }

    void clientThatDoesNotSpeakTls()
    {
        auto server = makeServer();
        QVERIFY(server->listenOnLoopback());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server->serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(server->sockets().size(), 1, 30000);
        QSslSocket *serverSide = server->sockets().first();
        QSignalSpy failed(serverSide, &QAbstractSocket::errorOccurred);
        client.write("GET / HTTP/1.0\r\n\r\n");
        // Not a handshake record: inspected at once, the handshake starts and fails.
        QTRY_VERIFY_WITH_TIMEOUT(failed.count() > 0, 30000);
        QCOMPARE(serverSide->mode(), QSslSocket::SslServerMode);
        QVERIFY(!serverSide->isEncrypted());
    }

    void pemChain_data()
    {
        QTest::addColumn<QByteArray>("pem");
        QTest::addColumn<QList<QSslCertificate>>("expected");
        QTest::addColumn<bool>("ok");

        const auto &leaf = CertificateFactory::leaf();
        const auto &ca = CertificateFactory::ca();
        const auto &foreign = CertificateFactory::foreignCa();
        const QByteArray corrupt =
            "-----BEGIN CERTIFICATE-----\nMIIBroken+Base64==\n-----END CERTIFICATE-----\n";
        QTest::newRow("three") << leaf.certificatePem + ca.certificatePem + foreign.certificatePem
                               << QList<QSslCertificate>{leaf.certificate, ca.certificate,
                                                         foreign.certificate}
                               << true;
        QTest::newRow("corrupt middle")
            << leaf.certificatePem + corrupt + foreign.certificatePem
            << QList<QSslCertificate>{leaf.certificate, foreign.certificate} << false;
        QTest::newRow("order kept") << foreign.certificatePem + leaf.certificatePem
                                    << QList<QSslCertificate>{foreign.certificate, leaf.certificate}
                                    << true;
        QTest::newRow("blank lines between")
            << "\n\n" + leaf.certificatePem + "\r\n \n" + ca.certificatePem + "\n\n"
            << QList<QSslCertificate>{leaf.certificate, ca.certificate} << true;
        QTest::newRow("empty") << QByteArray() << QList<QSslCertificate>() << true;
        QTest::newRow("only whitespace") << QByteArray(" \n\t\n") << QList<QSslCertificate>() << true;
        QTest::newRow("text before the first certificate")
            << "Bag Attributes\n" + leaf.certificatePem << QList<QSslCertificate>{leaf.certificate}
            << false;
        QTest::newRow("marker without body") << QByteArray("-----BEGIN CERTIFICATE-----")
                                             << QList<QSslCertificate>() << true;
        QTest::newRow("binary junk") << QByteArray("\x00\xff\x10-----BEGIN CERTIFICATE-----\x01", 31)
                                     << QList<QSslCertificate>() << false;
    }

    void pemChain()
    {
        QFETCH(QByteArray, pem);
        QFETCH(QList<QSslCertificate>, expected);
        QFETCH(bool, ok);
        bool flag = !ok;
        QCOMPARE(ExtSslSocket::extractCertificatesFromPemChain(pem, &flag), expected);
        QCOMPARE(flag, ok);
        QCOMPARE(ExtSslSocket::extractCertificatesFromPemChain(pem), expected);
    }
};

TOLVANE_TEST_MAIN(TestExtSslSocket)
#include "tst_extsslsocket.moc"
