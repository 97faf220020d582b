#include "homebridge/registryconstants.h"
#include "homebridge/registryrequest.h"
#include "support/testmain.h"

#include <QtTest>

using namespace TolvaneMail;
using namespace TolvaneMail::RegistryConstants;

namespace {

// The password is sent as the SHA-1 of "secret" in Base64 with "=" as "_" (worked out
// independently of the code under test).
const QString kAuth = QStringLiteral("NAME=a@b.c, PASSWORD=5en6G6MezRroT3XKqkdPOmY/BfQ_");

void row(const char *name, int type, const QVariantMap &data, const QString &line)
{
    QTest::newRow(name) << type << data << line;
}

QVariantMap plus(QVariantMap map, const QVariantMap &more)
{
    map.insert(more);
    return map;
}

} // namespace

class TestRegistryRequest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestLine_data();
    void requestLine();
};

void TestRegistryRequest::requestLine_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariantMap>("data");
    QTest::addColumn<QString>("line");

    const QVariantMap none;
    row("18 has no line", 18, {{kName, "a@b.c"}}, QString());
    row("1", 1, {{kIP, "127.0.0.1"}, {kPort, 7000}}, "CHECK_RELAY: IP=127.0.0.1, PORT=7000");
    row("1 without ip", 1, {{kPort, 7000}}, QString());
    const QVariantMap code{{kPort, 25}, {kCheckingCode, "abc"}};
    row("2", 2, plus(code, {{kSSL, true}, {kExternalIP, "127.0.0.9"}}),
        "CHECK_CODE: PORT=25, CODE=abc, SSL=true, IP=127.0.0.9");
    row("2 empty ip", 2, plus(code, {{kSSL, "true"}, {kExternalIP, ""}}),
        "CHECK_CODE: PORT=25, CODE=abc, SSL=true");
    row("2 defaults", 2, code, "CHECK_CODE: PORT=25, CODE=abc, SSL=false");
    row("3", 3, none, "GET_IP");
    const QVariantMap mail{{kType, "1"}, {kSender, "s@x"}, {kRecipient, "r@y"}, {kFileName, "f"}};
    row("4", 4, plus(mail, {{kRequireAuth, false}, {kIsPro, false}, {kServer, ""}}),
        "SEND_WEBMAIL_WITH_URL: TYPE=1, FROM=s@x, TO=r@y, EMAIL_ID=f");
    const QVariantMap options =
        plus(mail, {{kServer, "m.\u00e9\u4e00"}, {kIsPro, true}, {kKey, "K+/_"}});
    row("4 every option", 4,
        plus(options, {{kSenderFullName, "J\u00f6rg"}, {kRequireAuth, true}, {kSubject, "a=b, c"}}),
        QStringLiteral(
            "SEND_WEBMAIL_WITH_URL: TYPE=1, FROM=s@x, TO=r@y, EMAIL_ID=f, SERVER=m.\ufffd?, "
            "FROM_FULL_NAME=SvZyZw__, REQUIRE_AUTH=true, SUBJECT=a_b, c, PRO_USER=true, "
            "KEY=K+/_"));
    row("4 without file name", 4, plus(mail, {{kFileName, ""}}), QString());
    const QVariantMap relays{{kName, "a@b.c"}, {kPassword, "secret"}};
    row("5", 5, relays, "HOMEBRIDGE_REQUEST_RELAY_LIST: " + kAuth + ", VERSION=1");
    row("5 version", 5, plus(relays, {{kVersion, 3}}),
        "HOMEBRIDGE_REQUEST_RELAY_LIST: " + kAuth + ", VERSION=3");
    // The digest is taken over the password's Latin-1 bytes, not its UTF-8 form.
    row("5 latin-1 password", 5, plus(relays, {{kPassword, "p\u00e4ssw\u00f6rd"}}),
        "HOMEBRIDGE_REQUEST_RELAY_LIST: NAME=a@b.c, PASSWORD=eYxIHY7AbAiRXrCWOfnCEBMfpL8_, "
        "VERSION=1");
    row("5 empty password", 5, plus(relays, {{kPassword, ""}}), QString());
    row("6", 6, {{kName, "Jo.Doe@Example.COM"}}, "HOMEBRIDGE_FIND: NAME=Jo.Doe@Example.COM");
    row("6 empty name", 6, none, "HOMEBRIDGE_FIND: NAME=");
    row("6 unescaped", 6, {{kName, "a, PASSWORD=x %2"}}, "HOMEBRIDGE_FIND: NAME=a, PASSWORD=x %2");
    const QVariantMap update = plus(relays, {{kIP, "127.0.0.1"}, {kData, "{}"}, {kPort, 443}});
    row("7", 7, update,
        "HOMEBRIDGE_UPDATE_DATA: " + kAuth +
            ", IP=127.0.0.1, DATA=e30_, UID=, PORT=443, DEVICE_TYPE=unknown, VERSION=0");
    row("7 every field", 7, plus(update, {{kUID, "u-1"}, {kDeviceType, "pro"}, {kVersion, 5}}),
        "HOMEBRIDGE_UPDATE_DATA: " + kAuth +
            ", IP=127.0.0.1, DATA=e30_, UID=u-1, PORT=443, DEVICE_TYPE=pro, VERSION=5");
    row("7 empty password", 7, plus(update, {{kPassword, ""}}), QString());
    row("8", 8, {{kEmail, "Jo.Doe@Example.COM"}}, "GET_DOMAIN_USER_INFO: EMAIL=jodoe@example.com");
    row("8 two at signs", 8, {{kEmail, "A.b@mid@Last.Org"}},
        "GET_DOMAIN_USER_INFO: EMAIL=ab@last.org");
    row("8 white space", 8, {{kEmail, "  Jo  D.oe @ Ex  Ample.com "}},
        "GET_DOMAIN_USER_INFO: EMAIL=jo doe@ex ample.com");
    row("8 no at sign", 8, {{kEmail, "Some.Name"}},
        "GET_DOMAIN_USER_INFO: EMAIL=somename@some.name");
    row("8 empty email", 8, {{kEmail, ""}}, QString());
    row("9", 9, {{kDomain, "example.com"}}, "DOMAIN_INFO: DOMAIN=example.com");
    row("9 without domain", 9, none, QString());
    row("10", 10, none, "STAT_EXTMAIL_RECEIVED");
    row("11", 11, none, "STAT_EXTMAIL_SENT");
    row("12", 12, none, "STAT_VMAIL_SENT");
    row("13", 13, none, "STAT_VMAIL_RECEIVED");
    row("14", 14, none, "STAT_WEBMAIL_READ");
    row("15", 15, none, "STAT_WEBMAIL_REPLIED");
    const QVariantMap invite{{kFrom, "f@x"}, {kTo, QStringList{"a", "b"}}};
    row("16", 16, invite, "SEND_BULK_INVITE: FROM=f@x, TO=a;b");
    row("16 empty list", 16, plus(invite, {{kTo, QStringList()}}), QString());
    row("17", 17, {{kUID, "{1234}"}, {kDeviceType, "desktop"}},
        "STAT_DEVICE: UID={1234},DEVICE_TYPE=desktop");
    row("17 empty map", 17, none, "STAT_DEVICE: UID=,DEVICE_TYPE=");
    // A line break or NUL in any field would end the command early and start a second one.
    row("line feed", 6, {{kName, "a@b\nGET_IP"}}, QString());
    row("carriage return", 17, {{kUID, "1\r"}}, QString());
    row("nul", 6, {{kName, QStringLiteral("a@b") + QChar(0)}}, QString());
}

void TestRegistryRequest::requestLine()
{
    QFETCH(int, type);
    QFETCH(QVariantMap, data);
    QFETCH(QString, line);
    QCOMPARE(RegistryRequest(static_cast<RegistryRequestType>(type), data).requestString(), line);
}

TOLVANE_TEST_MAIN(TestRegistryRequest)
#include "tst_registryrequest.moc"
