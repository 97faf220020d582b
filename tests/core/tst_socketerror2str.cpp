#include "core/socketerror2str.h"
#include "support/testmain.h"

#include <QtTest>

class TestSocketError2Str : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void names_data();
    void names();
};

void TestSocketError2Str::names_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("name");
    const char *const names[] = {
        "UnknownSocketError",
        "ConnectionRefusedError",
        "RemoteHostClosedError",
        "HostNotFoundError",
        "SocketAccessError",
        "SocketResourceError",
        "SocketTimeoutError",
        "DatagramTooLargeError",
        "NetworkError",
        "AddressInUseError",
        "SocketAddressNotAvailableError",
        "UnsupportedSocketOperationError",
        "UnfinishedSocketOperationError",
        "ProxyAuthenticationRequiredError",
        "SslHandshakeFailedError",
        "ProxyConnectionRefusedError",
        "ProxyConnectionClosedError",
        "ProxyConnectionTimeoutError",
        "ProxyNotFoundError",
        "ProxyProtocolError",
    };
    int value = -1;
    for (const char *name : names) {
        QTest::newRow(name) << value << QString::fromLatin1(name);
        ++value;
    }
    QTest::newRow("SslInternalError is not named") << 19 << QString();
    QTest::newRow("TemporaryError is not named") << 22 << QString();
    QTest::newRow("below the table") << -2 << QString();
    QTest::newRow("far above") << 1000 << QString();
}

void TestSocketError2Str::names()
{
    QFETCH(int, value);
    QFETCH(QString, name);
    const QString text = socketError2Str(QAbstractSocket::SocketError(value));
    QCOMPARE(text, name);
    QCOMPARE(text.isNull(), name.isNull());
}

TOLVANE_TEST_MAIN(TestSocketError2Str)
#include "tst_socketerror2str.moc"
