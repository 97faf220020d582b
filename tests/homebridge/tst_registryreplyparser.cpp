#include "homebridge/registryconstants.h"
#include "homebridge/registryreplyparser.h"
#include "homebridge/registryrequesttype.h"
#include "support/testmain.h"

#include <QtTest>

using namespace TolvaneMail;
using namespace TolvaneMail::RegistryConstants;

class TestRegistryReplyParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void classification();
    void findFields_data();
    void findFields();
    void otherReplies();
};

// The first word decides, exactly as written.
void TestRegistryReplyParser::classification()
{
    const QStringList replies =
        QStringLiteral("OK DATA=e30_\r\n|OKAY|FAILED_EXISTS|FAILED_NOT_EXISTS user|FAILED_AUTH\n|"
                       "FAILED_SERVER_ERROR\r\n|FAILED_CHANGED_TO_PRO|FAILED_INVALID_COMMAND|"
                       " OK|ok|HELLO OK|FAILED_SOMETHING|")
            .split('|');
    QList<int> codes;
    for (const QString &reply : replies)
        codes << RegistryReplyParser::replyCode(reply);
    QCOMPARE(codes, QList<int>({1, 1, 2, 4, 7, 10, 12, 14, 11, 11, 11, 11, 11}));
}

void TestRegistryReplyParser::findFields_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QVariantMap>("fields");

    const QVariantMap all{{kIP, "127.0.0.5"},        {kPort, 4430u},
                          {kData, QByteArray("{}")}, {kLapsed, 12},
                          {kFirstName, "Jo, Ann"},   {kLastName, "O'Neil-Sm\u00efth"},
                          {kDeviceType, "pro"},      {kHipaa, "true"}};
    QTest::newRow("all") << "OK IP=127.0.0.5, PORT=4430, DATA=e30_, FIRST_NAME=Jo, Ann, LAST_NAME="
                            "O'Neil-Sm\u00efth, LAPSED=12, DEVICE_TYPE=PRO, HIPAA=TRUE\r\n"
                         << all;
    // The first occurrence of a key counts, also where it ends a longer word.
    QTest::newRow("odd values")
        << "OK EXTERNAL_IP=127.0.0.9, LAPSED=2147483648, LAPSED=1, PORT=4294967296, DATA=//79 "
           "e30_, HIPAA=False, device_type=Android.Phone-2'x, FIRST_NAME=Jo, LAST_NAME=X, "
        << QVariantMap{{kIP, "127.0.0.9"}, {kLapsed, 2147483647},
                       {kPort, 0u},        {kData, QByteArray("\xff\xfe\xfd")},
                       {kHipaa, "false"},  {kDeviceType, "android.phone-2'x"},
                       {kFirstName, "Jo"}, {kLastName, "X"}};
    QTest::newRow("no fields") << "OK ip=1, DEVICE_TYPE= Pro, HIPAA=yes, FIRST_NAME=Jo"
                               << QVariantMap();
    QTest::newRow("empty data") << "OK DATA=, X" << QVariantMap{{kData, QByteArray()}};
    QTest::newRow("lapsed at maximum")
        << "OK LAPSED=2147483647" << QVariantMap{{kLapsed, 2147483647}};
    QTest::newRow("lapsed far beyond")
        << "OK LAPSED=99999999999999999999" << QVariantMap{{kLapsed, 2147483647}};
}

void TestRegistryReplyParser::findFields()
{
    QFETCH(QString, reply);
    QFETCH(QVariantMap, fields);
    const QVariantMap parsed = RegistryReplyParser::parse(kHomeBridgeFind, reply).toMap();
    QCOMPARE(parsed, fields);
    for (const QString &key : fields.keys())
        QCOMPARE(parsed.value(key).userType(), fields.value(key).userType());
    // Only find replies have fields.
    QCOMPARE(RegistryReplyParser::parse(kGetDomainUserInfo, reply).toMap(), QVariantMap());
}

void TestRegistryReplyParser::otherReplies()
{
    const QByteArray key("\x01\x02public key\xff", 14);
    QString base64 = QString::fromLatin1(key.toBase64());
    QCOMPARE(RegistryReplyParser::getDomainUserKey("OK KEY=" + base64), key);
    QCOMPARE(RegistryReplyParser::getDomainUserKey("OK KEY=" + base64.replace('=', '_')), key);
    QCOMPARE(RegistryReplyParser::getDomainUserKey("OK key=AAAA"), QByteArray());
    QCOMPARE(RegistryReplyParser::getIP("OK IP=127.0.0.1\r\n"), QStringLiteral("127.0.0.1"));
    QCOMPARE(RegistryReplyParser::getDomainInfo("DATA=RG9tw6RuZQ__"),
             QStringLiteral("Dom\u00e4ne"));

    // A relay needs an address, a port that fits 16 bits and a capacity; what the list held
    // before counts for the result.
    QList<RelayParameters> list;
    QVERIFY(!RegistryReplyParser::createRelayList("IP=127.0.0.2, CAPACITY=5;PORT=1, CAPACITY=5;"
                                                  "IP=127.0.0.2, PORT=65536, CAPACITY=5;"
                                                  "IP=127.0.0.2, PORT=7000, CAPACITY=0",
                                                  list));
    QVERIFY(
        RegistryReplyParser::createRelayList("OK IP=127.0.0.2, PORT=7000, CAPACITY=5, "
                                             "COUNTRY_CODE=DE;;IP = 127.0.0.3,PORT= 1,CAPACITY =2",
                                             list));
    QVERIFY(RegistryReplyParser::createRelayList(QString(), list));
    QStringList relays;
    for (const RelayParameters &r : qAsConst(list))
        relays << r.ip + ' ' + QString::number(r.port) + ' ' + QString::number(r.capacity) + ' ' +
                      r.countryCode;
    QCOMPARE(relays, QStringList({"127.0.0.2 7000 5 DE", "127.0.0.3 1 2 "}));
}

TOLVANE_TEST_MAIN(TestRegistryReplyParser)
#include "tst_registryreplyparser.moc"
