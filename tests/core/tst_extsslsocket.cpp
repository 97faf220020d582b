#include "core/clienthelloreader.h"
#include "core/extsslsocket.h"
#include "support/certificatefactory.h"
#include "support/testmain.h"
#include "support/tlstestserver.h"

using TestSupport::CertificateFactory;
using Chain = QList<QSslCertificate>;

namespace {
// First bytes of TLS clients, from the fuzz target's seeds: real hellos for "mail.localhost"
// (openssl-tls13-sni) and "x.two.localhost" (openssl-tls12-sni), and built ones.
QByteArray hello(const QString &seed)
{
    QFile file(QFINDTESTDATA("../../fuzz/corpus/fuzz_clienthelloreader/" + seed));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray patched(QByteArray data, int at, const QByteArray &bytes)
{
    return data.replace(at, bytes.size(), bytes);
}
} // namespace

class TestExtSslSocket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readHello_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<QString>("name");
        const QByteArray built = hello("built-sni"); // "mail.localhost", first letter at 63
        QTest::newRow("TLS 1.3") << hello("openssl-tls13-sni") << true << "mail.localhost";
        QTest::newRow("TLS 1.2") << hello("openssl-tls12-sni") << true << "x.two.localhost";
        QTest::newRow("no name") << hello("openssl-no-sni") << true << "";
        QTest::newRow("one byte short") << hello("openssl-tls13-sni").chopped(1) << false << "";
        QTest::newRow("not TLS") << hello("plain-text") << true << "";
        QTest::newRow("not a ClientHello") << patched(built, 5, "\x02") << true << "";
        QTest::newRow("Latin-1") << patched(built, 63, "\xe9") << true << "éail.localhost";
        QTest::newRow("after other extensions")
            << hello("built-sni-after-others") << true << "a.b.localhost";
        // The length of all extensions is not what bounds the walk: each extension's own is.
        QTest::newRow("extensions length wrong")
            << patched(hello("built-sni-after-others"), 52, QByteArray("\0\1", 2)) << true
            << "a.b.localhost";
        QTest::newRow("bad name list, then a good one")
            << hello("built-bad-list-then-good") << true << "late.localhost";
    }

    void readHello()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, ready);
        QFETCH(QString, name);
        QCOMPARE(checkSSLPackageReady(data), ready);
        QCOMPARE(getSNI(data), name);
    }

    void identityByServerName_data()
    {
        QTest::addColumn<QString>("seed");
        QTest::addColumn<QString>("host"); // the name the chain of leaf and CA is set for
        QTest::addColumn<bool>("key");     // whether the leaf's key is set for it too
        QTest::addColumn<int>("split");    // bytes sent first; 0: all at once; -1: before the start
        QTest::addColumn<bool>("chosen");
        const QString mail = "openssl-tls13-sni", x = "openssl-tls12-sni";
        QTest::newRow("same name") << mail << "mail.localhost" << true << 0 << true;
        QTest::newRow("first label dropped") << mail << "localhost" << true << 0 << true;
        QTest::newRow("only one label dropped") << x << "localhost" << true << 0 << false;
        QTest::newRow("other name") << mail << "other.localhost" << true << 0 << false;
        QTest::newRow("no key") << mail << "mail.localhost" << false << 0 << false;
        QTest::newRow("no server name") << "openssl-no-sni"
                                        << "localhost" << true << 0 << false;
        QTest::newRow("hello in two segments") << mail << "mail.localhost" << true << 20 << true;
        QTest::newRow("hello before the start") << mail << "mail.localhost" << true << -1 << true;
    }

    // Otherwise the server's own identity, a HomeBridge certificate, is the one used.
    void identityByServerName()
    {
        QFETCH(QString, seed);
        QFETCH(QString, host);
        QFETCH(bool, key);
        QFETCH(int, split);
        QFETCH(bool, chosen);
        const QByteArray data = hello(seed);
        const auto &own = CertificateFactory::homeBridge(0), &leaf = CertificateFactory::leaf();
        TestSupport::TlsTestServer server(own);
        server.setSocketFactory([](QObject *parent) { return new ExtSslSocket(parent); });
        server.setStarter([&](QSslSocket *socket) {
            auto *ext = static_cast<ExtSslSocket *>(socket);
            ext->setLocalCertificate(own.certificate);
            ext->setPrivateKey(own.key);
            ext->setHostLocalCertificateChain(
                host, {leaf.certificate, CertificateFactory::ca().certificate});
            if (key)
                ext->setHostPrivateKey(host, leaf.key);
            if (split >= 0)
                ext->startServerEncryption();
        });
        QVERIFY(server.listenOnLoopback() && !data.isEmpty());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(server.sockets().size(), 1, 30000);
        auto *serverSide = static_cast<ExtSslSocket *>(server.sockets().first());
        client.write(data.left(split > 0 ? split : data.size()));
        if (split > 0) {
            QTRY_COMPARE_WITH_TIMEOUT(serverSide->bytesAvailable(), qint64(split), 30000);
            QCOMPARE(serverSide->mode(), QSslSocket::UnencryptedMode); // not before the whole hello
            client.write(data.mid(split));
        }
        if (split < 0) {
            QTRY_VERIFY_WITH_TIMEOUT(serverSide->bytesAvailable() > 0, 30000);
            serverSide->startServerEncryption();
        }
        QTRY_COMPARE_WITH_TIMEOUT(serverSide->mode(), QSslSocket::SslServerMode, 30000);
        QCOMPARE(serverSide->localCertificateChain().value(0), (chosen ? leaf : own).certificate);
        QCOMPARE(serverSide->localCertificateChain().size(), chosen ? 2 : 1);
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
        QTest::newRow("corrupt middle") << leaf.certificatePem + corrupt + ca.certificatePem
                                        << Chain{leaf.certificate, ca.certificate} << false;
        QTest::newRow("blank lines, in order")
            << "\n\n" + ca.certificatePem + "\r\n \n" + leaf.certificatePem
            << Chain{ca.certificate, leaf.certificate} << true;
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
