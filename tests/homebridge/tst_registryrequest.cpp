#include "homebridge/registryconstants.h"
#include "homebridge/registryrequest.h"
#include "support/testmain.h"

#include <QtTest>

using namespace TolvaneMail;
using namespace TolvaneMail::RegistryConstants;

namespace {

QVariantMap fields(std::initializer_list<std::pair<QString, QVariant>> pairs)
{
    QVariantMap map;
    for (const auto &pair : pairs)
        map.insert(pair.first, pair.second);
    return map;
}

// SHA-1 of "secret", Base64 with "=" as "_" (worked out independently of the code under test).
const QString kSecretDigest = QStringLiteral("5en6G6MezRroT3XKqkdPOmY/BfQ_");

} // namespace

class TestRegistryRequest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestLine_data();
    void requestLine();
    void passwordDigestForm();
    void constructors();
    void copiesAreIndependentValues();
};

void TestRegistryRequest::requestLine_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariantMap>("data");
    QTest::addColumn<QString>("expected");

    const QString all = QStringLiteral("a@b.c");

    QTest::newRow("0 has no line") << 0 << fields({{kName, all}}) << QString();
    QTest::newRow("18 has no line") << 18 << fields({{kName, all}}) << QString();

    QTest::newRow("1 check relay") << 1 << fields({{kIP, "127.0.0.1"}, {kPort, 7000}})
                                   << "CHECK_RELAY: IP=127.0.0.1, PORT=7000";
    QTest::newRow("1 without port") << 1 << fields({{kIP, "127.0.0.1"}}) << QString();
    QTest::newRow("1 without ip") << 1 << fields({{kPort, 7000}}) << QString();

    QTest::newRow("2 check code with ip") << 2
        << fields({{kPort, 25}, {kCheckingCode, "abc"}, {kSSL, true}, {kExternalIP, "127.0.0.9"}})
        << "CHECK_CODE: PORT=25, CODE=abc, SSL=true, IP=127.0.0.9";
    QTest::newRow("2 without external ip") << 2 << fields({{kPort, 25}, {kCheckingCode, "abc"}})
                                           << "CHECK_CODE: PORT=25, CODE=abc, SSL=false";
    QTest::newRow("2 empty external ip") << 2
        << fields({{kPort, 25}, {kCheckingCode, "abc"}, {kSSL, "true"}, {kExternalIP, ""}})
        << "CHECK_CODE: PORT=25, CODE=abc, SSL=true";
    QTest::newRow("2 without code") << 2 << fields({{kPort, 25}}) << QString();

    QTest::newRow("3 get ip") << 3 << QVariantMap() << "GET_IP";

    const QVariantMap webMail = fields({{kType, "1"}, {kSender, "s@x"}, {kRecipient, "r@y"}, {kFileName, "f.eml"}});
    QTest::newRow("4 minimal") << 4 << webMail
                               << "SEND_WEBMAIL_WITH_URL: TYPE=1, FROM=s@x, TO=r@y, EMAIL_ID=f.eml";
    QVariantMap fullWebMail = webMail;
    fullWebMail.insert(kServer, QStringLiteral("mail.example\u00e9\u4e00"));
    fullWebMail.insert(kSenderFullName, QStringLiteral("J\u00f6rg"));
    fullWebMail.insert(kRequireAuth, true);
    fullWebMail.insert(kSubject, QStringLiteral("a=b, c"));
    fullWebMail.insert(kIsPro, true);
    fullWebMail.insert(kKey, QStringLiteral("K+/_"));
    QTest::newRow("4 every optional part") << 4 << fullWebMail
        << QStringLiteral("SEND_WEBMAIL_WITH_URL: TYPE=1, FROM=s@x, TO=r@y, EMAIL_ID=f.eml, "
                          "SERVER=mail.example\ufffd?, FROM_FULL_NAME=")
               + QStringLiteral("SvZyZw__, REQUIRE_AUTH=true, SUBJECT=a_b, c, PRO_USER=true, KEY=K+/_");
    QVariantMap falseFlags = webMail;
    falseFlags.insert(kRequireAuth, false);
    falseFlags.insert(kIsPro, false);
    falseFlags.insert(kServer, QString());
    QTest::newRow("4 false flags") << 4 << falseFlags
                                   << "SEND_WEBMAIL_WITH_URL: TYPE=1, FROM=s@x, TO=r@y, EMAIL_ID=f.eml";
    QVariantMap noFile = webMail;
    noFile.remove(kFileName);
    QTest::newRow("4 without file name") << 4 << noFile << QString();

    QTest::newRow("5 relay list default version") << 5 << fields({{kName, all}, {kPassword, "secret"}})
        << "HOMEBRIDGE_REQUEST_RELAY_LIST: NAME=a@b.c, PASSWORD=" + kSecretDigest + ", VERSION=1";
    QTest::newRow("5 relay list version") << 5
        << fields({{kName, all}, {kPassword, "secret"}, {kVersion, 3}})
        << "HOMEBRIDGE_REQUEST_RELAY_LIST: NAME=a@b.c, PASSWORD=" + kSecretDigest + ", VERSION=3";
    // The digest is taken over the password's Latin-1 bytes, not its UTF-8 form.
    QTest::newRow("5 latin-1 password") << 5
        << fields({{kName, all}, {kPassword, QStringLiteral("p\u00e4ssw\u00f6rd")}})
        << "HOMEBRIDGE_REQUEST_RELAY_LIST: NAME=a@b.c, PASSWORD=eYxIHY7AbAiRXrCWOfnCEBMfpL8_, VERSION=1";
    QTest::newRow("5 empty password") << 5 << fields({{kName, all}, {kPassword, ""}}) << QString();

    QTest::newRow("6 find keeps address") << 6 << fields({{kName, "Jo.Doe@Example.COM"}})
                                          << "HOMEBRIDGE_FIND: NAME=Jo.Doe@Example.COM";
    QTest::newRow("6 find empty name") << 6 << QVariantMap() << "HOMEBRIDGE_FIND: NAME=";
    QTest::newRow("6 find value unescaped") << 6 << fields({{kName, "a, PASSWORD=x %2"}})
                                            << "HOMEBRIDGE_FIND: NAME=a, PASSWORD=x %2";

    const QVariantMap update = fields({{kName, all}, {kPassword, "secret"}, {kIP, "127.0.0.1"},
                                       {kData, "{}"}, {kPort, 443}});
    QTest::newRow("7 update defaults") << 7 << update
        << "HOMEBRIDGE_UPDATE_DATA: NAME=a@b.c, PASSWORD=" + kSecretDigest
               + ", IP=127.0.0.1, DATA=e30_, UID=, PORT=443, DEVICE_TYPE=unknown, VERSION=0";
    QVariantMap fullUpdate = update;
    fullUpdate.insert(kUID, QStringLiteral("u-1"));
    fullUpdate.insert(kDeviceType, QStringLiteral("pro"));
    fullUpdate.insert(kVersion, 5);
    QTest::newRow("7 update full") << 7 << fullUpdate
        << "HOMEBRIDGE_UPDATE_DATA: NAME=a@b.c, PASSWORD=" + kSecretDigest
               + ", IP=127.0.0.1, DATA=e30_, UID=u-1, PORT=443, DEVICE_TYPE=pro, VERSION=5";
    QVariantMap noData = update;
    noData.remove(kData);
    QTest::newRow("7 without data") << 7 << noData << QString();
    QVariantMap noPassword = update;
    noPassword.insert(kPassword, QString());
    QTest::newRow("7 empty password") << 7 << noPassword << QString();

    QTest::newRow("8 normalised") << 8 << fields({{kEmail, "Jo.Doe@Example.COM"}})
                                  << "GET_DOMAIN_USER_INFO: EMAIL=jodoe@example.com";
    QTest::newRow("8 two at signs") << 8 << fields({{kEmail, "A.b@mid@Last.Org"}})
                                    << "GET_DOMAIN_USER_INFO: EMAIL=ab@last.org";
    QTest::newRow("8 white space simplified") << 8 << fields({{kEmail, "  Jo  D.oe @ Ex  Ample.com "}})
                                              << "GET_DOMAIN_USER_INFO: EMAIL=jo doe@ex ample.com";
    QTest::newRow("8 without at sign") << 8 << fields({{kEmail, "Some.Name"}})
                                       << "GET_DOMAIN_USER_INFO: EMAIL=somename@some.name";
    QTest::newRow("8 empty email") << 8 << fields({{kEmail, ""}}) << QString();

    QTest::newRow("9 domain info") << 9 << fields({{kDomain, "example.com"}})
                                   << "DOMAIN_INFO: DOMAIN=example.com";
    QTest::newRow("9 without domain") << 9 << QVariantMap() << QString();

    QTest::newRow("10") << 10 << QVariantMap() << "STAT_EXTMAIL_RECEIVED";
    QTest::newRow("11") << 11 << QVariantMap() << "STAT_EXTMAIL_SENT";
    QTest::newRow("12") << 12 << QVariantMap() << "STAT_VMAIL_SENT";
    QTest::newRow("13") << 13 << QVariantMap() << "STAT_VMAIL_RECEIVED";
    QTest::newRow("14") << 14 << QVariantMap() << "STAT_WEBMAIL_READ";
    QTest::newRow("15") << 15 << QVariantMap() << "STAT_WEBMAIL_REPLIED";

    QTest::newRow("16 bulk invite") << 16
        << fields({{kFrom, "f@x"}, {kTo, QStringList{QStringLiteral("a"), QStringLiteral("b")}}})
        << "SEND_BULK_INVITE: FROM=f@x, TO=a;b";
    QTest::newRow("16 variant list") << 16
        << fields({{kFrom, "f@x"}, {kTo, QVariantList{QStringLiteral("a"), 2}}})
        << "SEND_BULK_INVITE: FROM=f@x, TO=a;2";
    QTest::newRow("16 empty list") << 16 << fields({{kFrom, "f@x"}, {kTo, QStringList()}}) << QString();
    QTest::newRow("16 without from") << 16 << fields({{kTo, QStringList{QStringLiteral("a")}}}) << QString();

    QTest::newRow("17 empty map") << 17 << QVariantMap() << "STAT_DEVICE: UID=,DEVICE_TYPE=";
    QTest::newRow("17 stat device") << 17 << fields({{kUID, "{1234}"}, {kDeviceType, "desktop"}})
                                    << "STAT_DEVICE: UID={1234},DEVICE_TYPE=desktop";

    // A line break or NUL in any field would split the command.
    QTest::newRow("find with line feed") << 6 << fields({{kName, "a@b\nGET_IP"}}) << QString();
    QTest::newRow("find with carriage return") << 6 << fields({{kName, "a@b\r"}}) << QString();
    QTest::newRow("find with nul") << 6 << fields({{kName, QString(QStringLiteral("a@b")) + QChar(0)}})
                                   << QString();
    QTest::newRow("subject with line feed") << 4 << [&] {
        QVariantMap map = webMail;
        map.insert(kSubject, QStringLiteral("x\ny"));
        return map;
    }() << QString();
    QTest::newRow("stat device uid with line feed") << 17 << fields({{kUID, "1\r\n2"}}) << QString();
    QTest::newRow("bulk invite item with line feed") << 16
        << fields({{kFrom, "f@x"}, {kTo, QStringList{QStringLiteral("a\n")}}}) << QString();
}

void TestRegistryRequest::requestLine()
{
    QFETCH(int, type);
    QFETCH(QVariantMap, data);
    QFETCH(QString, expected);

    const RegistryRequest request(static_cast<RegistryRequestType>(type), data);
    const QString line = request.requestString();
    QCOMPARE(line, expected);
    QCOMPARE(request.requestType(), static_cast<RegistryRequestType>(type));
}

void TestRegistryRequest::passwordDigestForm()
{
    // 20 digest bytes give 28 Base64 characters, the last one the padding written as "_".
    const RegistryRequest request(kHomeBridgeRequestRelayList,
                                  fields({{kName, "n@x"}, {kPassword, "another password"}}));
    const QString line = request.requestString();
    const int start = line.indexOf(QLatin1String("PASSWORD=")) + 9;
    const QString digest = line.mid(start, line.indexOf(QLatin1Char(','), start) - start);
    QCOMPARE(digest.size(), 28);
    QVERIFY(digest.endsWith(QLatin1Char('_')));
    QVERIFY(!digest.contains(QLatin1Char('=')));
    QVERIFY(!line.contains(QLatin1String("another password")));
}

void TestRegistryRequest::constructors()
{
    const RegistryRequest empty;
    QCOMPARE(empty.requestType(), kRequestNone);
    QVERIFY(empty.data().isNull());
    QCOMPARE(empty.requestString(), QString());

    const RegistryRequest typeOnly(kGetIp);
    QCOMPARE(typeOnly.requestType(), kGetIp);
    QVERIFY(typeOnly.data().isNull());
    QCOMPARE(typeOnly.requestString(), QStringLiteral("GET_IP"));

    const RegistryRequest withData(kHomeBridgeFind, fields({{kName, "x@y"}}));
    QCOMPARE(withData.data().toMap().value(kName).toString(), QStringLiteral("x@y"));
}

void TestRegistryRequest::copiesAreIndependentValues()
{
    RegistryRequest a(kHomeBridgeFind, fields({{kName, "x@y"}}));
    const RegistryRequest b = a;
    a = RegistryRequest(kStatDevice);
    QCOMPARE(b.requestType(), kHomeBridgeFind);
    QCOMPARE(b.requestString(), QStringLiteral("HOMEBRIDGE_FIND: NAME=x@y"));
    QCOMPARE(a.requestString(), QStringLiteral("STAT_DEVICE: UID=,DEVICE_TYPE="));
}

TOLVANE_TEST_MAIN(TestRegistryRequest)
#include "tst_registryrequest.moc"
