#include "core/emailfromaddressstring.h"
#include "core/socketerror2str.h"
#include "core/stringtool.h"
#include "support/testmain.h"

// StringTool, emailFromAddressString and socketError2Str.
class TestTextTools : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void extract_data()
    {
        QTest::addColumn<bool>("email"); // else the IPv4 address
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, bool email, const char *text, const char *expected) {
            QTest::newRow(name) << email << QString(text) << QString(expected);
        };
        row("address, line end", false, "198.51.100.23\n", "198.51.100.23");
        row("address in a page", false, "<p>Current IP Address: 192.0.2.250</p>", "192.0.2.250");
        row("first address of two", false, "from 10.0.0.1 to 10.0.0.2", "10.0.0.1");
        row("address edge values", false, "ip=255.255.255.255;", "255.255.255.255");
        row("three parts", false, "1.2.3", "");
        row("IPv6", false, "2001:db8::1", "");
        row("display name", true, "Al <al.smith@mail.example.org>", "al.smith@mail.example.org");
        row("special characters", true, "<o'brien+tag_1@ex-ample.co.uk>",
            "o'brien+tag_1@ex-ample.co.uk");
        row("first e-mail of two", true, "a@b.example, c@d.example", "a@b.example");
        row("no dot in the domain", true, "root@localhost", "");
        row("hyphen first in a label", true, "a@-bad.example", "");
    }

    void extract()
    {
        QFETCH(bool, email);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(email ? emailFromAddressString(text) : StringTool::cutIpAddress(text), expected);
    }

    void randomNumbers()
    {
        const int ranges[][2] = {
            {1, 3}, {7, 7}, {-10, -5}, {10, 5}, {INT_MIN, INT_MAX}, {INT_MAX - 1, INT_MAX}};
        for (const auto &range : ranges) {
            for (int i = 0; i < 2000; ++i) {
                const int value = StringTool::generateRandomNumber(range[0], range[1]);
                QVERIFY(value >= qMin(range[0], range[1]) && value <= qMax(range[0], range[1]));
            }
        }
        // 3000 draws from three values miss one with a probability below 1e-500.
        QSet<int> seen;
        for (int i = 0; i < 3000; ++i)
            seen.insert(StringTool::generateRandomNumber(1, 3));
        QCOMPARE(seen, QSet<int>({1, 2, 3}));
    }

    void smallHelpers()
    {
        QCOMPARE(StringTool::base64_string("user:p\u00e4ss"), QStringLiteral("dXNlcjpww6Rzcw=="));
        QCOMPARE(QByteArray(StringTool::copyData(QByteArray("ab\0cd", 5)).get()), QByteArray("ab"));
        QCOMPARE(QByteArray(StringTool::copyData(QByteArray()).get()), QByteArray(""));
        QCOMPARE(StringTool::join({1, -2, 3}), QStringLiteral("1,-2,3"));
        QCOMPARE(StringTool::join({}), QString());
    }

    void socketErrorNames()
    {
        const QStringList names =
            QStringLiteral(
                "UnknownSocketError ConnectionRefusedError RemoteHostClosedError HostNotFoundError "
                "SocketAccessError SocketResourceError SocketTimeoutError DatagramTooLargeError "
                "NetworkError AddressInUseError SocketAddressNotAvailableError "
                "UnsupportedSocketOperationError UnfinishedSocketOperationError "
                "ProxyAuthenticationRequiredError SslHandshakeFailedError "
                "ProxyConnectionRefusedError "
                "ProxyConnectionClosedError ProxyConnectionTimeoutError ProxyNotFoundError "
                "ProxyProtocolError")
                .split(' ');
        for (int value = -2; value <= 22; ++value)
            QCOMPARE(socketError2Str(QAbstractSocket::SocketError(value)), names.value(value + 1));
    }
};

TOLVANE_TEST_MAIN(TestTextTools)
#include "tst_texttools.moc"
