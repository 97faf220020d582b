#include "core/clienthelloreader.h"

#include "support/clienthellocapture.h"
#include "support/testmain.h"

#include <QtTest>

using TestSupport::ClientHelloCapture;

namespace {
QByteArray be16(int value)
{
    QByteArray bytes;
    bytes.append(char((value >> 8) & 0xff));
    bytes.append(char(value & 0xff));
    return bytes;
}

QByteArray be24(int value)
{
    return QByteArray(1, char((value >> 16) & 0xff)) + be16(value & 0xffff);
}

QByteArray extension(int type, const QByteArray &data)
{
    return be16(type) + be16(data.size()) + data;
}

// A server_name extension with one host_name entry.
QByteArray serverNameExtension(const QByteArray &name)
{
    const QByteArray entry = QByteArray(1, '\0') + be16(name.size()) + name;
    return extension(0, be16(entry.size()) + entry);
}

// A ClientHello record from its variable parts; lengths are right unless overridden later.
QByteArray clientHello(const QByteArray &extensions, const QByteArray &sessionId = QByteArray(),
                       const QByteArray &cipherSuites = QByteArray("\x13\x01\x00\x2f", 4),
                       const QByteArray &compression = QByteArray(1, '\0'))
{
    QByteArray body = QByteArray("\x03\x03", 2) + QByteArray(32, '\x5a');
    body += char(sessionId.size()) + sessionId;
    body += be16(cipherSuites.size()) + cipherSuites;
    body += char(compression.size()) + compression;
    body += be16(extensions.size()) + extensions;
    const QByteArray handshake = QByteArray(1, '\x01') + be24(body.size()) + body;
    return QByteArray("\x16\x03\x01", 3) + be16(handshake.size()) + handshake;
}

// Offsets inside clientHello() output with an empty session id and two cipher suites.
constexpr int kRecordLength = 3;
constexpr int kHandshakeType = 5;
constexpr int kHandshakeLength = 6;
constexpr int kSessionIdLength = 9 + 2 + 32;
constexpr int kCipherSuitesLength = kSessionIdLength + 1;
constexpr int kCompressionLength = kCipherSuitesLength + 2 + 4;
constexpr int kExtensionsLength = kCompressionLength + 1 + 1;
constexpr int kFirstExtension = kExtensionsLength + 2;

QByteArray patched(QByteArray data, int offset, const QByteArray &bytes)
{
    data.replace(offset, bytes.size(), bytes);
    return data;
}
} // namespace

class TestClientHelloReader : public QObject
{
    Q_OBJECT

private:
    QByteArray m_withName;
    QByteArray m_withoutName;

private Q_SLOTS:
    void initTestCase()
    {
        m_withName = ClientHelloCapture::capture(QStringLiteral("mail.localhost"));
        m_withoutName = ClientHelloCapture::capture(QStringLiteral("127.0.0.1"));
        QVERIFY(m_withName.size() > 100);
        QVERIFY(m_withoutName.size() > 100);
    }

    void realClientHello()
    {
        QVERIFY(checkSSLPackageReady(m_withName));
        QCOMPARE(getSNI(m_withName), QStringLiteral("mail.localhost"));
        QVERIFY(checkSSLPackageReady(m_withoutName));
        QCOMPARE(getSNI(m_withoutName), QString());
        // Bytes of the next record behind it change nothing.
        const QByteArray followed = m_withName + QByteArray("\x16\x03\x01\x00\x10", 5);
        QVERIFY(checkSSLPackageReady(followed));
        QCOMPARE(getSNI(followed), QStringLiteral("mail.localhost"));
    }

    void everyTruncationIsIncomplete()
    {
        for (int size = 0; size < m_withName.size(); ++size) {
            const QByteArray prefix = m_withName.left(size);
            QVERIFY2(!checkSSLPackageReady(prefix), qPrintable(QString::number(size)));
            QVERIFY2(getSNI(prefix).isEmpty(), qPrintable(QString::number(size)));
        }
    }

    void splitDelivery()
    {
        // What a server sees when the hello comes in two TCP segments.
        const int split = m_withName.size() / 3;
        QByteArray received = m_withName.left(split);
        QVERIFY(!checkSSLPackageReady(received));
        received += m_withName.mid(split);
        QVERIFY(checkSSLPackageReady(received));
        QCOMPARE(getSNI(received), QStringLiteral("mail.localhost"));
    }

    void packageReady_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("ready");
        QTest::newRow("nothing") << QByteArray() << false;
        QTest::newRow("content type only") << QByteArray("\x16", 1) << false;
        QTest::newRow("four header bytes") << QByteArray("\x16\x03\x01\x00", 4) << false;
        QTest::newRow("empty record") << QByteArray("\x16\x03\x01\x00\x00", 5) << true;
        QTest::newRow("body one short") << QByteArray("\x16\x03\x01\x00\x05" "abcd", 9) << false;
        QTest::newRow("body complete") << QByteArray("\x16\x03\x01\x00\x05" "abcde", 10) << true;
        QTest::newRow("body and more") << QByteArray("\x16\x03\x01\x00\x05" "abcdefgh", 13) << true;
        QTest::newRow("largest length, short")
            << (QByteArray("\x16\x03\x01\xff\xff", 5) + QByteArray(65534, 'x')) << false;
        QTest::newRow("largest length, complete")
            << (QByteArray("\x16\x03\x01\xff\xff", 5) + QByteArray(65535, 'x')) << true;
        QTest::newRow("plain text") << QByteArray("GET / HTTP/1.1\r\n") << true;
        QTest::newRow("application data byte") << QByteArray("\x17", 1) << true;
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

        const QByteArray good = clientHello(serverNameExtension("mail.localhost"));
        // The offsets the rows below patch.
        QCOMPARE(good.mid(kSessionIdLength, 1), QByteArray(1, '\0'));
        QCOMPARE(good.mid(kCipherSuitesLength, 2), be16(4));
        QCOMPARE(good.mid(kCompressionLength, 2), QByteArray("\x01\x00", 2));
        QCOMPARE(good.mid(kFirstExtension, 2), be16(0));
        QCOMPARE(good.mid(kFirstExtension + 4, 2), be16(17));
        QCOMPARE(good.mid(kFirstExtension + 7, 2), be16(14));
        QTest::newRow("built") << good << "mail.localhost";
        QTest::newRow("after other extensions")
            << clientHello(extension(10, "\x00\x02\x00\x1d") + extension(0x2b, "\x02\x03\x04")
                           + serverNameExtension("a.b.localhost"))
            << "a.b.localhost";
        QTest::newRow("with session id and many suites")
            << clientHello(serverNameExtension("localhost"), QByteArray(32, '\x11'), QByteArray(60, '\x22'))
            << "localhost";
        QTest::newRow("Latin-1 name")
            << clientHello(serverNameExtension("caf\xe9.localhost")) << QString::fromUtf8("café.localhost");
        QTest::newRow("no extensions") << clientHello(QByteArray()) << "";
        QTest::newRow("other extensions only")
            << clientHello(extension(10, "\x00\x02\x00\x1d")) << "";
        QTest::newRow("empty name") << clientHello(serverNameExtension("")) << "";
        QTest::newRow("not a handshake record") << patched(good, 0, "\x17") << "";
        QTest::newRow("not a ClientHello") << patched(good, kHandshakeType, "\x02") << "";
        QTest::newRow("record longer than the data")
            << patched(good, kRecordLength, be16(good.size())) << "";
        QTest::newRow("record shorter than the hello")
            << patched(good, kRecordLength, be16(40)) << "";
        QTest::newRow("handshake longer than the record")
            << patched(good, kHandshakeLength, be24(good.size())) << "";
        QTest::newRow("session id beyond the end")
            << patched(good, kSessionIdLength, "\xff") << "";
        QTest::newRow("cipher suites beyond the end")
            << patched(good, kCipherSuitesLength, "\xff\xff") << "";
        QTest::newRow("compression beyond the end")
            << patched(good, kCompressionLength, "\xff") << "";
        QTest::newRow("extension longer than the hello")
            << patched(good, kFirstExtension + 2, "\xff\xff") << "";
        QTest::newRow("name list longer than its extension")
            << patched(good, kFirstExtension + 4, "\xff\xff") << "";
        QTest::newRow("name longer than its list")
            << patched(good, kFirstExtension + 7, "\xff\xff") << "";
        // The length of all extensions is not what bounds the walk.
        QTest::newRow("extensions length wrong")
            << patched(good, kExtensionsLength, "\x00\x01") << "mail.localhost";
        QTest::newRow("half an extension header")
            << clientHello(extension(10, "\x00\x02\x00\x1d") + QByteArray("\x00", 1)) << "";
        QTest::newRow("bad name list, then a good one")
            << clientHello(extension(0, QByteArray("\x00\x01\x05", 3)) + serverNameExtension("late.localhost"))
            << "late.localhost";
    }

    void serverName()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, name);
        QCOMPARE(getSNI(data), name);
    }

    void everyByteOverwritten()
    {
        // Whatever a byte says, reading stays inside the data (checked by the sanitizer build)
        // and a name found is part of the data.
        for (int i = 0; i < m_withName.size(); ++i) {
            for (const char value : {'\x00', '\x01', '\x7f', '\xff'}) {
                QByteArray data = m_withName;
                data[i] = value;
                const QString name = getSNI(data);
                QVERIFY(name.isEmpty() || data.contains(name.toLatin1()));
            }
        }
    }
};

TOLVANE_TEST_MAIN(TestClientHelloReader)
#include "tst_clienthelloreader.moc"
