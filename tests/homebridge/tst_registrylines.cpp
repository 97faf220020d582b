#include "homebridge/registryconstants.h"
#include "homebridge/registryreplyparser.h"
#include "homebridge/registryrequest.h"
#include "support/testmain.h"

using namespace TolvaneMail;
using namespace TolvaneMail::RegistryConstants;

// The registry's line protocol: request lines out, reply lines in.
class TestRegistryLines : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestLine_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QVariantMap>("data");
        QTest::addColumn<QString>("line");
        const auto row = [](const char *name, int type, const QVariantMap &data,
                            const QString &line) { QTest::newRow(name) << type << data << line; };
        // "secret" as the Base64 of its SHA-1 with "=" as "_", worked out independently.
        const QString auth = QStringLiteral("NAME=a@b.c, PASSWORD=5en6G6MezRroT3XKqkdPOmY/BfQ_");
        const QVariantMap none, user{{kName, "a@b.c"}, {kPassword, "secret"}};
        row("1", 1, {{kIP, "127.0.0.1"}, {kPort, 7000}}, "CHECK_RELAY: IP=127.0.0.1, PORT=7000");
        row("2", 2, {{kPort, 25}, {kCheckingCode, "abc"}, {kSSL, true}, {kExternalIP, "127.0.0.9"}},
            "CHECK_CODE: PORT=25, CODE=abc, SSL=true, IP=127.0.0.9");
        row("2 empty ip", 2, {{kPort, 25}, {kCheckingCode, "abc"}, {kExternalIP, ""}},
            "CHECK_CODE: PORT=25, CODE=abc, SSL=false");
        row("3", 3, none, "GET_IP");
        QVariantMap mail{{kType, "1"}, {kSender, "s@x"}, {kRecipient, "r@y"}, {kFileName, "f"}};
        mail.insert({{kServer, "m.\u00e9\u4e00"}, {kIsPro, true}, {kKey, "K+/_"}});
        mail.insert({{kSenderFullName, "J\u00f6rg"}, {kRequireAuth, true}, {kSubject, "a=b, c"}});
        row("4", 4, mail,
            QStringLiteral(
                "SEND_WEBMAIL_WITH_URL: TYPE=1, FROM=s@x, TO=r@y, EMAIL_ID=f, SERVER=m.\ufffd?, "
                "FROM_FULL_NAME=SvZyZw__, REQUIRE_AUTH=true, SUBJECT=a_b, c, PRO_USER=true, "
                "KEY=K+/_"));
        // The digest is taken over the password's Latin-1 bytes, not its UTF-8 form.
        row("5 latin-1 password", 5, {{kName, "a@b.c"}, {kPassword, "p\u00e4ssw\u00f6rd"}},
            "HOMEBRIDGE_REQUEST_RELAY_LIST: NAME=a@b.c, PASSWORD=eYxIHY7AbAiRXrCWOfnCEBMfpL8_, "
            "VERSION=1");
        row("6", 6, {{kName, "Jo.Doe@Example.COM"}}, "HOMEBRIDGE_FIND: NAME=Jo.Doe@Example.COM");
        QVariantMap update = user;
        update.insert({{kIP, "127.0.0.1"}, {kData, "{}"}, {kPort, 443}});
        row("7", 7, update,
            "HOMEBRIDGE_UPDATE_DATA: " + auth +
                ", IP=127.0.0.1, DATA=e30_, UID=, PORT=443, DEVICE_TYPE=unknown, VERSION=0");
        row("8", 8, {{kEmail, "Jo.Doe@Example.COM"}},
            "GET_DOMAIN_USER_INFO: EMAIL=jodoe@example.com");
        row("8 two at signs", 8, {{kEmail, "A.b@mid@Last.Org"}},
            "GET_DOMAIN_USER_INFO: EMAIL=ab@last.org");
        row("8 empty email", 8, {{kEmail, ""}}, QString());
        row("9", 9, {{kDomain, "example.com"}}, "DOMAIN_INFO: DOMAIN=example.com");
        const QString stats = "EXTMAIL_RECEIVED EXTMAIL_SENT VMAIL_SENT VMAIL_RECEIVED "
                              "WEBMAIL_READ WEBMAIL_REPLIED";
        for (int type = 10; type <= 15; ++type)
            row(qPrintable(QString::number(type)), type, none,
                "STAT_" + stats.section(' ', type - 10, type - 10));
        row("16", 16, {{kFrom, "f@x"}, {kTo, QStringList{"a", "b"}}},
            "SEND_BULK_INVITE: FROM=f@x, TO=a;b");
        row("17", 17, {{kUID, "{1234}"}, {kDeviceType, "desktop"}},
            "STAT_DEVICE: UID={1234},DEVICE_TYPE=desktop");
        // A line break or NUL in any field would end the command early and start a second one.
        row("line feed", 6, {{kName, "a@b\nGET_IP"}}, QString());
        row("carriage return", 17, {{kUID, "1\r"}}, QString());
        row("nul", 6, {{kName, QStringLiteral("a@b") + QChar(0)}}, QString());
    }

    void requestLine()
    {
        QFETCH(int, type);
        QFETCH(QVariantMap, data);
        QFETCH(QString, line);
        QCOMPARE(RegistryRequest(RegistryRequestType(type), data).requestString(), line);
    }

    // The first word decides, exactly as written.
    void classification()
    {
        const QStringList replies =
            QStringLiteral(
                "OK DATA=e30_\r\n|OKAY|FAILED_EXISTS|FAILED_NOT_EXISTS user|FAILED_AUTH\n|"
                "FAILED_SERVER_ERROR\r\n|FAILED_CHANGED_TO_PRO|FAILED_INVALID_COMMAND|"
                " OK|ok|HELLO OK|FAILED_SOMETHING|")
                .split('|');
        QList<int> codes;
        for (const QString &reply : replies)
            codes << RegistryReplyParser::replyCode(reply);
        QCOMPARE(codes, QList<int>({1, 1, 2, 4, 7, 10, 12, 14, 11, 11, 11, 11, 11}));
    }

    void findFields()
    {
        const auto parse = [](const QString &reply) {
            return RegistryReplyParser::parse(kHomeBridgeFind, reply).toMap();
        };
        QCOMPARE(
            parse("OK IP=127.0.0.5, PORT=4430, DATA=//79e30_, FIRST_NAME=Jo, Ann, LAST_NAME=O'Neil-"
                  "Sm\u00efth, LAPSED=12, DEVICE_TYPE=PRO, HIPAA=TRUE\r\n"),
            (QVariantMap{{kIP, "127.0.0.5"},
                         {kPort, 4430u},
                         {kData, QByteArray("\xff\xfe\xfd{}")},
                         {kLapsed, 12},
                         {kFirstName, "Jo, Ann"},
                         {kLastName, "O'Neil-Sm\u00efth"},
                         {kDeviceType, "pro"},
                         {kHipaa, "true"}}));
        // The first occurrence of a key counts; a number too large for an int is the largest.
        QCOMPARE(parse("OK LAPSED=2147483648, LAPSED=1"), (QVariantMap{{kLapsed, 2147483647}}));
        QCOMPARE(parse("OK ip=1, DEVICE_TYPE= Pro, HIPAA=yes, FIRST_NAME=Jo"), QVariantMap());
        // Only find replies have fields.
        QCOMPARE(RegistryReplyParser::parse(kGetDomainUserInfo, "OK LAPSED=1").toMap(),
                 QVariantMap());
    }
};

TOLVANE_TEST_MAIN(TestRegistryLines)
#include "tst_registrylines.moc"
