#include "core/emailfromaddressstring.h"
#include "core/stringtool.h"
#include "support/testmain.h"

#include <QtTest>
#include <climits>
#include <cstring>

class TestStringTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cutIpAddress_data();
    void cutIpAddress();
    void randomNumbersStayInRange_data();
    void randomNumbersStayInRange();
    void randomNumbersReachBothEnds();
    void base64();
    void copyData_data();
    void copyData();
    void join_data();
    void join();
    void emailFromAddressString_data();
    void emailFromAddressString();
};

void TestStringTool::cutIpAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bare address") << QStringLiteral("203.0.113.7") << QStringLiteral("203.0.113.7");
    QTest::newRow("with a line end") << QStringLiteral("198.51.100.23\n")
                                     << QStringLiteral("198.51.100.23");
    QTest::newRow("inside a page")
        << QStringLiteral("<html><body>Current IP Address: 192.0.2.250</body></html>")
        << QStringLiteral("192.0.2.250");
    QTest::newRow("first of two") << QStringLiteral("from 10.0.0.1 to 10.0.0.2")
                                  << QStringLiteral("10.0.0.1");
    QTest::newRow("edge values") << QStringLiteral("ip=255.255.255.255;")
                                 << QStringLiteral("255.255.255.255");
    QTest::newRow("zeros") << QStringLiteral("0.0.0.0") << QStringLiteral("0.0.0.0");
    QTest::newRow("no address") << QStringLiteral("rate limited") << QString();
    QTest::newRow("three parts only") << QStringLiteral("1.2.3") << QString();
    QTest::newRow("IPv6 only") << QStringLiteral("2001:db8::1") << QString();
    QTest::newRow("empty") << QString() << QString();
}

void TestStringTool::cutIpAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(StringTool::cutIpAddress(text), expected);
}

void TestStringTool::randomNumbersStayInRange_data()
{
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::newRow("small") << 1 << 3;
    QTest::newRow("one value") << 7 << 7;
    QTest::newRow("negative") << -10 << -5;
    QTest::newRow("swapped") << 10 << 5;
    QTest::newRow("whole int range") << INT_MIN << INT_MAX;
    QTest::newRow("top of the range") << INT_MAX - 1 << INT_MAX;
}

void TestStringTool::randomNumbersStayInRange()
{
    QFETCH(int, low);
    QFETCH(int, high);
    const int lowest = qMin(low, high);
    const int highest = qMax(low, high);
    for (int i = 0; i < 2000; ++i) {
        const int value = StringTool::generateRandomNumber(low, high);
        QVERIFY2(value >= lowest && value <= highest, qPrintable(QString::number(value)));
    }
}

void TestStringTool::randomNumbersReachBothEnds()
{
    // 3000 draws from three values miss one with a probability below 1e-500.
    QSet<int> seen;
    for (int i = 0; i < 3000; ++i)
        seen.insert(StringTool::generateRandomNumber(1, 3));
    QCOMPARE(seen, QSet<int>({1, 2, 3}));
}

void TestStringTool::base64()
{
    QCOMPARE(StringTool::base64_string(QStringLiteral("user:pass")), QStringLiteral("dXNlcjpwYXNz"));
    QCOMPARE(StringTool::base64_string(QStringLiteral("\u00e4")), QStringLiteral("w6Q="));
    QCOMPARE(StringTool::base64_string(QString()), QString());
}

void TestStringTool::copyData_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("text") << QByteArray("hello") << QByteArray("hello");
    QTest::newRow("stops at a zero byte") << QByteArray("ab\0cd", 5) << QByteArray("ab");
    QTest::newRow("empty") << QByteArray() << QByteArray("");
}

void TestStringTool::copyData()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    const std::unique_ptr<char[]> copy = StringTool::copyData(data);
    QVERIFY(copy);
    QCOMPARE(std::strlen(copy.get()), size_t(expected.size()));
    QCOMPARE(QByteArray(copy.get()), expected);
}

void TestStringTool::join_data()
{
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<QString>("expected");
    QTest::newRow("three") << QList<int>{1, 2, 3} << QStringLiteral("1,2,3");
    QTest::newRow("one") << QList<int>{-4} << QStringLiteral("-4");
    QTest::newRow("none") << QList<int>() << QString();
}

void TestStringTool::join()
{
    QFETCH(QList<int>, numbers);
    QFETCH(QString, expected);
    QCOMPARE(StringTool::join(numbers), expected);
}

void TestStringTool::emailFromAddressString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bare") << QStringLiteral("alice@example.com") << QStringLiteral("alice@example.com");
    QTest::newRow("display name") << QStringLiteral("Alice Smith <alice.smith@mail.example.org>")
                                  << QStringLiteral("alice.smith@mail.example.org");
    QTest::newRow("special characters")
        << QStringLiteral("x <o'brien+tag_1@ex-ample.co.uk>")
        << QStringLiteral("o'brien+tag_1@ex-ample.co.uk");
    QTest::newRow("first of two") << QStringLiteral("a@b.example, c@d.example")
                                  << QStringLiteral("a@b.example");
    QTest::newRow("no dot in the domain") << QStringLiteral("root@localhost") << QString();
    QTest::newRow("no at sign") << QStringLiteral("just text") << QString();
    QTest::newRow("hyphen at a label's start") << QStringLiteral("a@-bad.example") << QString();
    QTest::newRow("hyphen inside a label") << QStringLiteral("a@my-host.example")
                                           << QStringLiteral("a@my-host.example");
    QTest::newRow("empty") << QString() << QString();
}

void TestStringTool::emailFromAddressString()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(::emailFromAddressString(text), expected);
}

TOLVANE_TEST_MAIN(TestStringTool)
#include "tst_stringtool.moc"
