#include "homebridge/registryconstants.h"
#include "homebridge/registryreplyparser.h"
#include "homebridge/registryrequesttype.h"
#include "support/testmain.h"

#include <QtTest>

using namespace TolvaneMail;
using namespace TolvaneMail::RegistryConstants;

Q_DECLARE_METATYPE(TolvaneMail::RegistryReplyCodes)

class TestRegistryReplyParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void classification_data();
    void classification();
    void findFields_data();
    void findFields();
    void otherTypesHaveNoFields();
    void domainUserKey_data();
    void domainUserKey();
    void ipAndDomainInfo();
    void relayList_data();
    void relayList();
    void relayListKeepsEarlierEntries();
};

void TestRegistryReplyParser::classification_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<RegistryReplyCodes>("code");

    QTest::newRow("OK") << "OK DATA=e30_\r\n" << kReplyOk;
    QTest::newRow("OKAY") << "OKAY" << kReplyOk;
    QTest::newRow("leading blank") << " OK" << kReplyDefault;
    QTest::newRow("lower case") << "ok" << kReplyDefault;
    QTest::newRow("server error") << "FAILED_SERVER_ERROR\r\n" << kReplyServerError;
    QTest::newRow("exists") << "FAILED_EXISTS" << kReplyFailedExists;
    QTest::newRow("not exists") << "FAILED_NOT_EXISTS user" << kReplyFailedNotExists;
    QTest::newRow("auth") << "FAILED_AUTH\n" << kReplyFailedAuth;
    QTest::newRow("changed to pro") << "FAILED_CHANGED_TO_PRO" << kReplyChangedToPro;
    QTest::newRow("invalid command") << "FAILED_INVALID_COMMAND" << kReplyInvalidCommand;
    QTest::newRow("other failure") << "FAILED_SOMETHING" << kReplyDefault;
    QTest::newRow("empty") << "" << kReplyDefault;
    QTest::newRow("word later in text") << "HELLO OK" << kReplyDefault;
}

void TestRegistryReplyParser::classification()
{
    QFETCH(QString, reply);
    QFETCH(RegistryReplyCodes, code);
    QCOMPARE(RegistryReplyParser::replyCode(reply), code);
}

void TestRegistryReplyParser::findFields_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QVariantMap>("expected");

    QVariantMap full;
    full.insert(kIP, QStringLiteral("127.0.0.5"));
    full.insert(kPort, 4430u);
    full.insert(kData, QByteArray("{}"));
    full.insert(kFirstName, QStringLiteral("Jo, Ann"));
    full.insert(kLastName, QStringLiteral("O'Neil-Sm\u00efth"));
    full.insert(kLapsed, 12);
    full.insert(kDeviceType, QStringLiteral("pro"));
    full.insert(kHipaa, QStringLiteral("true"));
    QTest::newRow("full reply")
        << "OK IP=127.0.0.5, PORT=4430, DATA=e30_, FIRST_NAME=Jo, Ann, LAST_NAME=O'Neil-Sm\u00efth, "
           "LAPSED=12, DEVICE_TYPE=PRO, HIPAA=TRUE\r\n"
        << full;

    QTest::newRow("nothing") << "OK\r\n" << QVariantMap();
    QTest::newRow("empty data") << "OK DATA=, X" << QVariantMap{{kData, QByteArray()}};
    QTest::newRow("data with slash") << "OK DATA=" + QString::fromLatin1(QByteArray("\xff\xfe\xfd").toBase64())
                                        + ", NEXT"
                                     << QVariantMap{{kData, QByteArray("\xff\xfe\xfd")}};
    QTest::newRow("data ends at blank") << "OK DATA=e30_ trailing"
                                        << QVariantMap{{kData, QByteArray("{}")}};
    QTest::newRow("blank after device type") << "OK DEVICE_TYPE= Pro" << QVariantMap();
    QTest::newRow("device type mixed case key") << "OK device_type=Android.Phone-2'x"
                                                << QVariantMap{{kDeviceType, "android.phone-2'x"}};
    QTest::newRow("hipaa false") << "OK HIPAA=False" << QVariantMap{{kHipaa, "false"}};
    QTest::newRow("hipaa other word") << "OK HIPAA=yes" << QVariantMap();
    QTest::newRow("first occurrence wins") << "OK LAPSED=1, LAPSED=2" << QVariantMap{{kLapsed, 1}};
    QTest::newRow("key ending a longer word") << "OK EXTERNAL_IP=127.0.0.9"
                                              << QVariantMap{{kIP, "127.0.0.9"}};
    QTest::newRow("lapsed saturates") << "OK LAPSED=99999999999999999999"
                                      << QVariantMap{{kLapsed, 2147483647}};
    QTest::newRow("lapsed at maximum") << "OK LAPSED=2147483647" << QVariantMap{{kLapsed, 2147483647}};
    QTest::newRow("lapsed just above") << "OK LAPSED=2147483648" << QVariantMap{{kLapsed, 2147483647}};
    QTest::newRow("port too large") << "OK PORT=4294967296" << QVariantMap{{kPort, 0u}};
    QTest::newRow("first name needs comma") << "OK FIRST_NAME=Jo" << QVariantMap();
    QTest::newRow("first name stops at next field") << "OK FIRST_NAME=Jo, LAST_NAME=X, "
                                                    << QVariantMap{{kFirstName, "Jo"}, {kLastName, "X"}};
    QTest::newRow("case sensitive ip") << "OK ip=127.0.0.1" << QVariantMap();
}

void TestRegistryReplyParser::findFields()
{
    QFETCH(QString, reply);
    QFETCH(QVariantMap, expected);
    const QVariant parsed = RegistryReplyParser::parse(kHomeBridgeFind, reply);
    QCOMPARE(parsed.userType(), int(QMetaType::QVariantMap));
    const QVariantMap map = parsed.toMap();
    QCOMPARE(map.keys(), expected.keys());
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        QCOMPARE(map.value(it.key()), it.value());
        QCOMPARE(map.value(it.key()).userType(), it.value().userType());
    }
}

void TestRegistryReplyParser::otherTypesHaveNoFields()
{
    const QString reply = QStringLiteral("OK IP=127.0.0.1, DATA=e30_, LAPSED=3");
    for (quint32 type : {0u, 1u, 5u, 7u, 8u, 17u, 99u}) {
        const QVariant parsed = RegistryReplyParser::parse(type, reply);
        QCOMPARE(parsed.userType(), int(QMetaType::QVariantMap));
        QVERIFY(parsed.toMap().isEmpty());
    }
}

void TestRegistryReplyParser::domainUserKey_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QByteArray>("key");

    const QByteArray key("\x01\x02public key\xff", 14);
    QTest::newRow("key") << "OK KEY=" + QString::fromLatin1(key.toBase64().replace('=', '_')) + "\r\n" << key;
    QTest::newRow("plain padding") << "OK KEY=" + QString::fromLatin1(key.toBase64()) << key;
    QTest::newRow("no key") << "OK\r\n" << QByteArray();
    QTest::newRow("empty text") << "" << QByteArray();
    QTest::newRow("lower case key word") << "OK key=AAAA" << QByteArray();
}

void TestRegistryReplyParser::domainUserKey()
{
    QFETCH(QString, reply);
    QFETCH(QByteArray, key);
    QCOMPARE(RegistryReplyParser::getDomainUserKey(reply), key);
}

void TestRegistryReplyParser::ipAndDomainInfo()
{
    QCOMPARE(RegistryReplyParser::getIP(QStringLiteral("OK IP=127.0.0.1\r\n")), QStringLiteral("127.0.0.1"));
    QCOMPARE(RegistryReplyParser::getIP(QStringLiteral("OK IP=, X")), QStringLiteral(""));
    QVERIFY(RegistryReplyParser::getIP(QStringLiteral("OK")).isEmpty());
    QVERIFY(RegistryReplyParser::getIP(QString()).isEmpty());

    const QString info = QString::fromLatin1(QStringLiteral("Dom\u00e4ne").toUtf8().toBase64().replace('=', '_'));
    QCOMPARE(RegistryReplyParser::getDomainInfo(QStringLiteral("OK DATA=") + info), QStringLiteral("Dom\u00e4ne"));
    QVERIFY(RegistryReplyParser::getDomainInfo(QStringLiteral("OK")).isEmpty());
    QVERIFY(RegistryReplyParser::getDomainInfo(QString()).isEmpty());
}

void TestRegistryReplyParser::relayList_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QStringList>("relays"); // "ip port capacity country" per relay

    QTest::newRow("one relay") << "OK IP=127.0.0.2, PORT=7000, CAPACITY=5, COUNTRY_CODE=DE"
                               << QStringList{"127.0.0.2 7000 5 DE"};
    QTest::newRow("blanks around equals") << "IP = 127.0.0.2, PORT= 7000, CAPACITY =5"
                                          << QStringList{"127.0.0.2 7000 5 "};
    QTest::newRow("several entries") << "IP=127.0.0.2,PORT=1,CAPACITY=2;;IP=127.0.0.3,PORT=3,CAPACITY=4,COUNTRY_CODE=SE;"
                                    << QStringList{"127.0.0.2 1 2 ", "127.0.0.3 3 4 SE"};
    QTest::newRow("zero capacity dropped") << "IP=127.0.0.2, PORT=7000, CAPACITY=0" << QStringList();
    QTest::newRow("no port dropped") << "IP=127.0.0.2, CAPACITY=5" << QStringList();
    QTest::newRow("port too large dropped") << "IP=127.0.0.2, PORT=65536, CAPACITY=5" << QStringList();
    QTest::newRow("no ip dropped") << "PORT=7000, CAPACITY=5" << QStringList();
    QTest::newRow("empty") << "" << QStringList();
}

void TestRegistryReplyParser::relayList()
{
    QFETCH(QString, reply);
    QFETCH(QStringList, relays);
    QList<RelayParameters> list;
    QCOMPARE(RegistryReplyParser::createRelayList(reply, list), !relays.isEmpty());
    QStringList described;
    for (const RelayParameters &relay : qAsConst(list))
        described << QStringLiteral("%1 %2 %3 %4").arg(relay.ip).arg(relay.port).arg(relay.capacity).arg(relay.countryCode);
    QCOMPARE(described, relays);
}

void TestRegistryReplyParser::relayListKeepsEarlierEntries()
{
    QList<RelayParameters> list;
    QVERIFY(RegistryReplyParser::createRelayList(QStringLiteral("IP=127.0.0.2,PORT=1,CAPACITY=2"), list));
    QVERIFY(RegistryReplyParser::createRelayList(QStringLiteral("nothing usable"), list));
    QCOMPARE(list.size(), 1);
    const RelayParameters fresh;
    QVERIFY(fresh.ip.isEmpty());
    QCOMPARE(fresh.port, quint16(0));
    QCOMPARE(fresh.capacity, qint64(0));
}

TOLVANE_TEST_MAIN(TestRegistryReplyParser)
#include "tst_registryreplyparser.moc"
