#include "core/clienthelloreader.h"
#include "support/clienthellocapture.h"
#include "support/testmain.h"

using TestSupport::ClientHelloCapture;

namespace {
QByteArray be16(int value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xff);
}

QByteArray extension(int type, const QByteArray &data)
{
    return be16(type) + be16(data.size()) + data;
}

// A server_name extension with one host_name entry.
QByteArray nameExtension(const QByteArray &name)
{
    const QByteArray entry = '\0' + be16(name.size()) + name;
    return extension(0, be16(entry.size()) + entry);
}

// A ClientHello record whose lengths are all right.
QByteArray clientHello(const QByteArray &extensions, const QByteArray &sessionId = QByteArray(),
                       const QByteArray &cipherSuites = QByteArray("\x13\x01\x00\x2f", 4))
{
    const QByteArray body = "\x03\x03" + QByteArray(32, '\x5a') + char(sessionId.size()) +
                            sessionId + be16(cipherSuites.size()) + cipherSuites + "\x01" + '\0' +
                            be16(extensions.size()) + extensions;
    const QByteArray handshake = '\x01' + QByteArray(1, '\0') + be16(body.size()) + body;
    return "\x16\x03\x01" + be16(handshake.size()) + handshake;
}

// Offsets in a clientHello() with an empty session id and two cipher suites.
constexpr int kRecordLength = 3, kHandshakeType = 5, kExtensionsLength = 52;

QByteArray patched(QByteArray data, int offset, const QByteArray &bytes)
{
    return data.replace(offset, bytes.size(), bytes);
}
} // namespace

class TestClientHelloReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void capturedHellos()
    {
        const QByteArray named = ClientHelloCapture::capture("mail.localhost");
        const QByteArray unnamed = ClientHelloCapture::capture("127.0.0.1");
        QVERIFY(named.size() > 100 && unnamed.size() > 100);
        QCOMPARE(getSNI(named), QStringLiteral("mail.localhost"));
        QVERIFY(checkSSLPackageReady(unnamed));
        QCOMPARE(getSNI(unnamed), QString());
        // The next record behind it changes nothing; any shorter prefix is incomplete.
        const QByteArray followed = named + QByteArray("\x16\x03\x01\x00\x10", 5);
        QVERIFY(checkSSLPackageReady(followed));
        QCOMPARE(getSNI(followed), QStringLiteral("mail.localhost"));
        for (int size = 0; size < named.size(); ++size) {
            QVERIFY2(!checkSSLPackageReady(named.left(size)), qPrintable(QString::number(size)));
            QVERIFY2(getSNI(named.left(size)).isEmpty(), qPrintable(QString::number(size)));
        }
    }

    void packageReady_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("ready");
        const QByteArray header("\x16\x03\x01\x00\x05", 5);
        QTest::newRow("nothing") << QByteArray() << false;
        QTest::newRow("content type only") << QByteArray("\x16") << false;
        QTest::newRow("empty record") << QByteArray("\x16\x03\x01\x00\x00", 5) << true;
        QTest::newRow("body one short") << header + "abcd" << false;
        QTest::newRow("largest, one short")
            << "\x16\x03\x01\xff\xff" + QByteArray(65534, 'x') << false;
        QTest::newRow("largest, complete")
            << "\x16\x03\x01\xff\xff" + QByteArray(65535, 'x') << true;
        QTest::newRow("not a handshake") << QByteArray("GET / HTTP/1.1\r\n") << true;
    }

    void packageReady()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, ready);
        QCOMPARE(checkSSLPackageReady(data), ready);
    }

    void serverName_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("name");
        const QByteArray good = clientHello(nameExtension("mail.localhost"));
        const QByteArray groups = extension(10, QByteArray("\x00\x02\x00\x1d", 4));
        QTest::newRow("built") << good << "mail.localhost";
        const QByteArray later = clientHello(groups + nameExtension("a.localhost"));
        QTest::newRow("after another extension") << later << "a.localhost";
        QTest::newRow("session id, many suites")
            << clientHello(nameExtension("localhost"), QByteArray(32, '\x11'),
                           QByteArray(60, '\x22'))
            << "localhost";
        QTest::newRow("Latin-1") << clientHello(nameExtension("caf\xe9.localhost"))
                                 << "café.localhost";
        QTest::newRow("not a handshake record") << patched(good, 0, "\x17") << "";
        QTest::newRow("not a ClientHello") << patched(good, kHandshakeType, "\x02") << "";
        QTest::newRow("record longer than the data")
            << patched(good, kRecordLength, be16(good.size())) << "";
        // Reading stays inside each length (the fuzz target's corpus holds the malformed ones);
        // the length of all extensions is not what bounds the walk.
        QTest::newRow("extensions length wrong")
            << patched(later, kExtensionsLength, QByteArray("\x00\x01", 2)) << "a.localhost";
        QTest::newRow("bad name list, then a good one")
            << clientHello(extension(0, QByteArray("\x00\x01\x05", 3)) +
                           nameExtension("late.localhost"))
            << "late.localhost";
    }

    void serverName()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, name);
        QCOMPARE(getSNI(data), name);
    }
};

TOLVANE_TEST_MAIN(TestClientHelloReader)
#include "tst_clienthelloreader.moc"
