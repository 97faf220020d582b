#include "core/extsslsocket.h"
#include "support/certificatefactory.h"
#include "support/clienthellocapture.h"
#include "support/testmain.h"
#include "support/tlstestserver.h"

using TestSupport::CertificateFactory;
using Chain = QList<QSslCertificate>;

namespace {
// A TLS server of ExtSslSocket with identities for "one.localhost" (a chain) and
// "two.localhost"; its own default identity is the first HomeBridge certificate.
std::unique_ptr<TestSupport::TlsTestServer> makeServer(bool startAtOnce)
{
    auto server = std::make_unique<TestSupport::TlsTestServer>(CertificateFactory::homeBridge(0));
    server->setSocketFactory([](QObject *parent) { return new ExtSslSocket(parent); });
    server->setStarter([startAtOnce](QSslSocket *socket) {
        auto *ext = static_cast<ExtSslSocket *>(socket);
        ext->setLocalCertificate(CertificateFactory::homeBridge(0).certificate);
        ext->setPrivateKey(CertificateFactory::homeBridge(0).key);
        const auto &one = CertificateFactory::leaf();
        const auto &two = CertificateFactory::otherLeaf();
        ext->setHostLocalCertificateChain("one.localhost",
                                          {one.certificate, CertificateFactory::ca().certificate});
        ext->setHostPrivateKey("one.localhost", one.key);
        ext->setHostLocalCertificate("two.localhost", two.certificate);
        ext->setHostPrivateKey("two.localhost", two.key);
        ext->setHostLocalCertificate("keyless.localhost", two.certificate); // no identity
        if (startAtOnce)
            ext->startServerEncryption();
    });
    return server;
}
} // namespace

class TestExtSslSocket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void identityByServerName_data()
    {
        QTest::addColumn<QString>("peerName"); // empty: a client that does not speak TLS
        QTest::addColumn<int>("split");        // bytes of the first segment, 0 for all at once
        QTest::addColumn<bool>("late");        // the hello is there before the server starts
        QTest::addColumn<Chain>("chain");
        const Chain one{CertificateFactory::leaf().certificate,
                        CertificateFactory::ca().certificate};
        const Chain two{CertificateFactory::otherLeaf().certificate};
        const Chain own{CertificateFactory::homeBridge(0).certificate};
        QTest::newRow("chain") << "one.localhost" << 0 << false << one;
        QTest::newRow("one certificate") << "two.localhost" << 0 << false << two;
        QTest::newRow("first label dropped") << "mail.two.localhost" << 0 << false << two;
        QTest::newRow("only one label dropped") << "x.mail.two.localhost" << 0 << false << own;
        QTest::newRow("unknown name") << "unknown.localhost" << 0 << false << own;
        QTest::newRow("name without a key") << "keyless.localhost" << 0 << false << own;
        QTest::newRow("no server name") << "127.0.0.1" << 0 << false << own;
        QTest::newRow("hello in two segments") << "one.localhost" << 20 << false << one;
        QTest::newRow("hello before the start") << "two.localhost" << 0 << true << two;
        QTest::newRow("not TLS") << "" << 0 << false << own;
    }

    void identityByServerName()
    {
        QFETCH(QString, peerName);
        QFETCH(int, split);
        QFETCH(bool, late);
        QFETCH(Chain, chain);
        const QByteArray hello = peerName.isEmpty()
                                     ? QByteArray("GET / HTTP/1.0\r\n\r\n")
                                     : TestSupport::ClientHelloCapture::capture(peerName);
        auto server = makeServer(!late);
        QVERIFY(server->listenOnLoopback());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server->serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(server->sockets().size(), 1, 30000);
        auto *serverSide = static_cast<ExtSslSocket *>(server->sockets().first());
        client.write(hello.left(split > 0 ? split : hello.size()));
        if (split > 0) {
            QTRY_COMPARE_WITH_TIMEOUT(serverSide->bytesAvailable(), qint64(split), 30000);
            QCOMPARE(serverSide->mode(), QSslSocket::UnencryptedMode); // not before the whole hello
            client.write(hello.mid(split));
        }
        if (late) {
            QTRY_VERIFY_WITH_TIMEOUT(serverSide->bytesAvailable() > 0, 30000);
            serverSide->startServerEncryption();
        }
        QTRY_COMPARE_WITH_TIMEOUT(serverSide->mode(), QSslSocket::SslServerMode, 30000);
        QCOMPARE(serverSide->localCertificateChain(), chain);
    }

    void pemChain_data()
    {
        QTest::addColumn<QByteArray>("pem");
        QTest::addColumn<Chain>("expected");
        QTest::addColumn<bool>("ok");
        const auto &leaf = CertificateFactory::leaf();
        const auto &ca = CertificateFactory::ca();
        const QByteArray corrupt =
            "-----BEGIN CERTIFICATE-----\nMIIBroken==\n-----END CERTIFICATE-----\n";
        QTest::newRow("in order") << ca.certificatePem + leaf.certificatePem
                                  << Chain{ca.certificate, leaf.certificate} << true;
        QTest::newRow("corrupt middle") << leaf.certificatePem + corrupt + ca.certificatePem
                                        << Chain{leaf.certificate, ca.certificate} << false;
        QTest::newRow("blank lines") << "\n\n" + leaf.certificatePem + "\r\n \n" + ca.certificatePem
                                     << Chain{leaf.certificate, ca.certificate} << true;
        QTest::newRow("whitespace") << QByteArray(" \n\t\n") << Chain() << true;
        QTest::newRow("text before")
            << "Bag Attributes\n" + leaf.certificatePem << Chain{leaf.certificate} << false;
        QTest::newRow("marker only")
            << QByteArray("-----BEGIN CERTIFICATE-----") << Chain() << true;
        QTest::newRow("behind a NUL")
            << QByteArray("\0\n", 2) + leaf.certificatePem << Chain{leaf.certificate} << false;
    }

    void pemChain()
    {
        QFETCH(QByteArray, pem);
        QFETCH(Chain, expected);
        QFETCH(bool, ok);
        bool flag = !ok;
        QCOMPARE(ExtSslSocket::extractCertificatesFromPemChain(pem, &flag), expected);
        QCOMPARE(flag, ok);
    }
};

TOLVANE_TEST_MAIN(TestExtSslSocket)
#include "tst_extsslsocket.moc"
