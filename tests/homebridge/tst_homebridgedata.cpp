#include "homebridge/homebridgedata.h"
#include "homebridge/json.h"
#include "support/testmain.h"

#include <QtTest>
#include <utility>

namespace {

const QByteArray kCertificatePem =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBizCCATGgAwIBAgIUID3fRyWfm3vu3R6kPLUvmdv9SYYwCgYIKoZIzj0EAwIw\n"
    "GjEYMBYGA1UEAwwPaG9tZWJyaWRnZS50ZXN0MCAXDTI2MTIwNjIxMjgwOVoYDzIx\n"
    "MjYxMTEyMjEyODA5WjAaMRgwFgYDVQQDDA9ob21lYnJpZGdlLnRlc3QwWTATBgcq\n"
    "hkjOPQIBBggqhkjOPQMBBwNCAAQzLk6RM1tD4BwA//xlIE8WDPknZBZ5ihkOw1vW\n"
    "PMC4zPEMRQNeVH3sVcUZqj3ROVS/UoFBnj8gkVoj9zTFG3DUo1MwUTAdBgNVHQ4E\n"
    "FgQUtYi+5I9UCq1AaK0cUSejWiyFmKowHwYDVR0jBBgwFoAUtYi+5I9UCq1AaK0c\n"
    "USejWiyFmKowDwYDVR0TAQH/BAUwAwEB/zAKBggqhkjOPQQDAgNIADBFAiAUh6+8\n"
    "8RCemkV6Dt7R7qMj77OVHRbynzi1BiZfU0oE/AIhAK0d6ra4/lxSpLNjg8JPUoV/\n"
    "XEdRnMuTRG1Vatg1WhRD\n"
    "-----END CERTIFICATE-----\n";

QString jsonString(const QString &text)
{
    return sanitizeString(text);
}

// A record text with every field the reader knows.
QString fullRecordText()
{
    const QString certificate = jsonString(QString::fromLatin1(kCertificatePem));
    return QStringLiteral(R"({
  "Info": {
    "Certificate": %1,
    "Host": "hb.example",
    "ExternalIP": "127.0.0.8",
    "LocalIP": "127.0.0.9",
    "Addressable": false,
    "Relay": { "Address": "127.0.0.2", "Port": 17000, "SessionID": "12" },
    "Relay2": { "Address": "127.0.0.3", "Port": 17001, "SessionID": "9223372036854775807" }
  },
  "NetworkInterfaces": [
    { "Name": "%2", "IP": "127.0.0.10", "MAC": "00:11:22:33:44:55" },
    { "Name": "%3", "IP": "127.0.0.11", "MAC": "66:77:88:99:aa:bb" }
  ],
  "Settings": {
    "Incoming": { "LocalPort": 995, "ExternalPort": 1995, "Type": "POP3", "Host": "in.example" },
    "Outgoing": { "LocalPort": 465, "ExternalPort": 1465, "Type": "smtp", "Host": "out.example" },
    "Tolvane": { "LocalPort": 8556, "ExternalPort": 18556, "Type": "PMTP" },
    "RelayServer": { "LocalPort": 17000, "ExternalPort": 27000, "Type": "Relay", "Version": 2 },
    "WebMail": { "LocalPort": 18000, "Type": "WebMail" },
    "WebSever": { "LocalPort": 8080, "Type": "WebServer" },
    "Admin": { "Port": 9000, "Type": "MicroAdmin" }
  },
  "Android": { "Anything": [1, 2] },
  "Mobile": { "OSType": "Android 14" }
})")
        .arg(certificate, QString::fromLatin1(QByteArray("wlan0").toBase64()),
             QString::fromLatin1(QStringLiteral("r\u00e9seau").toUtf8().toBase64()));
}

} // namespace

class TestHomeBridgeData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newRecord();
    void fullRecord();
    void roundTrip();
    void newRecordJsonIsByteExact();
    void invalidTextGivesNewRecord_data();
    void invalidTextGivesNewRecord();
    void nonObjectGivesDefaults_data();
    void nonObjectGivesDefaults();
    void certificateFraming_data();
    void certificateFraming();
    void webServerKey();
    void localPortElsePort_data();
    void localPortElsePort();
    void relay2Rules_data();
    void relay2Rules();
    void relaysNotWrittenWhenAddressable();
    void serviceTypes_data();
    void serviceTypes();
    void copyOnWrite();
    void mobileWrittenOnlyWithOsType();
};

void TestHomeBridgeData::newRecord()
{
    const HomeBridgeData data;
    const HBDInfo &info = data.info();
    QVERIFY(info.Certificate.isNull());
    QVERIFY(info.Host.isNull());
    QVERIFY(info.ExternalIP.isNull());
    QVERIFY(info.LocalIP.isNull());
    QVERIFY(!info.Addressable);
    for (const HBDRelay *relay : {&info.Relay, &info.Relay2}) {
        QVERIFY(relay->Address.isEmpty());
        QVERIFY(!relay->Address.isNull());
        QVERIFY(!relay->SessionID.isNull());
        QVERIFY(relay->SessionID.isEmpty());
        QCOMPARE(relay->Port, quint16(0));
    }
    QVERIFY(data.networkInterfaces().isEmpty());
    QVERIFY(data.mobile().OSType.isNull());
    QCOMPARE(data.settings().RelayServer.Version, 0);
    QCOMPARE(data.settings().Incoming.Type, quint32(0));
    QVERIFY(data.settings().Incoming.Host.isNull());
    QVERIFY(!data.hasRelay2());
}

void TestHomeBridgeData::fullRecord()
{
    bool ok = false;
    const HomeBridgeData data = HomeBridgeData::fromJson(fullRecordText(), &ok);
    QVERIFY(ok);

    const HBDInfo &info = data.info();
    QCOMPARE(info.Certificate, QSslCertificate(kCertificatePem, QSsl::Pem));
    QVERIFY(!info.Certificate.isNull());
    QCOMPARE(info.Host, QStringLiteral("hb.example"));
    QCOMPARE(info.ExternalIP, QStringLiteral("127.0.0.8"));
    QCOMPARE(info.LocalIP, QStringLiteral("127.0.0.9"));
    QVERIFY(!info.Addressable);
    QCOMPARE(info.Relay.Address, QStringLiteral("127.0.0.2"));
    QCOMPARE(info.Relay.Port, quint16(17000));
    QCOMPARE(info.Relay.SessionID, QStringLiteral("12"));
    QCOMPARE(info.Relay2.Address, QStringLiteral("127.0.0.3"));
    QCOMPARE(info.Relay2.Port, quint16(17001));
    QCOMPARE(info.Relay2.SessionID.toLongLong(nullptr, 10), Q_INT64_C(9223372036854775807));
    QVERIFY(data.hasRelay2());

    QCOMPARE(data.networkInterfaces().size(), 2);
    QCOMPARE(data.networkInterfaces().at(0).Name, QStringLiteral("wlan0"));
    QCOMPARE(data.networkInterfaces().at(0).IP, QStringLiteral("127.0.0.10"));
    QCOMPARE(data.networkInterfaces().at(0).MAC, QStringLiteral("00:11:22:33:44:55"));
    QCOMPARE(data.networkInterfaces().at(1).Name, QStringLiteral("r\u00e9seau"));

    const HBDSettings &settings = data.settings();
    QCOMPARE(settings.Incoming.LocalPort, quint16(995));
    QCOMPARE(settings.Incoming.ExternalPort, quint16(1995));
    QCOMPARE(settings.Incoming.Type, quint32(HBDServiceSettings::kTypePOP3));
    QCOMPARE(settings.Incoming.Host, QStringLiteral("in.example"));
    QCOMPARE(settings.Outgoing.LocalPort, quint16(465));
    QCOMPARE(settings.Outgoing.Type, quint32(HBDServiceSettings::kTypeSMTP));
    QCOMPARE(settings.Outgoing.Host, QStringLiteral("out.example"));
    QCOMPARE(settings.Tolvane.LocalPort, quint16(8556));
    QCOMPARE(settings.Tolvane.ExternalPort, quint16(18556));
    QCOMPARE(settings.Tolvane.Type, quint32(HBDServiceSettings::kTypePMTP));
    QCOMPARE(settings.RelayServer.LocalPort, quint16(17000));
    QCOMPARE(settings.RelayServer.Type, quint32(HBDServiceSettings::kTypeRelay));
    QCOMPARE(settings.RelayServer.Version, 2);
    QCOMPARE(settings.WebMail.LocalPort, quint16(18000));
    QCOMPARE(settings.WebMail.Type, quint32(HBDServiceSettings::kTypeWebMail));
    QCOMPARE(settings.WebServer.LocalPort, quint16(8080));
    QCOMPARE(settings.WebServer.Type, quint32(HBDServiceSettings::kTypeWebServer));
    QCOMPARE(settings.Admin.LocalPort, quint16(9000));
    QCOMPARE(settings.Admin.Type, quint32(HBDServiceSettings::kTypeMicroAdmin));
    // Host and Version belong to particular entries only.
    QVERIFY(settings.Tolvane.Host.isNull());
    QCOMPARE(settings.Incoming.Version, 0);
    QCOMPARE(data.mobile().OSType, QStringLiteral("Android 14"));
}

void TestHomeBridgeData::roundTrip()
{
    const HomeBridgeData data = HomeBridgeData::fromJson(fullRecordText());
    const QByteArray written = data.json();
    QVERIFY(!written.isEmpty());
    QVERIFY(written.contains("\"WebServer\" : {"));
    QVERIFY(!written.contains("WebSever"));
    QVERIFY(!written.contains("\"Admin\""));
    QVERIFY(!written.contains("\"Android\""));
    QVERIFY(written.contains("\"Port\" : 17001"));

    bool ok = false;
    const HomeBridgeData back = HomeBridgeData::fromJson(QString::fromUtf8(written), &ok);
    QVERIFY(ok);
    QCOMPARE(back.info().Certificate, data.info().Certificate);
    QCOMPARE(back.info().Relay2.SessionID, data.info().Relay2.SessionID);
    QCOMPARE(back.networkInterfaces().at(1).Name, QStringLiteral("r\u00e9seau"));
    QCOMPARE(back.settings().RelayServer.Version, 2);
    QCOMPARE(back.settings().Incoming.Host, QStringLiteral("in.example"));
    QCOMPARE(back.mobile().OSType, QStringLiteral("Android 14"));
    // The writer puts the web server under its correct key, which the reader does not take.
    QCOMPARE(back.settings().WebServer.LocalPort, quint16(0));
    QCOMPARE(back.settings().Admin.LocalPort, quint16(0));

    // Everything the writer writes reads back to the same text.
    HomeBridgeData withoutWebServer = data;
    withoutWebServer.settings().WebServer = HBDServiceSettings();
    QCOMPARE(back.json(), withoutWebServer.json());
}

void TestHomeBridgeData::newRecordJsonIsByteExact()
{
    const QByteArray service = "\"ExternalPort\" : 0, \"LocalPort\" : 0, \"Port\" : 0, \"Type\" : \"PMTP\"";
    const QByteArray expected = "{ \"Info\" : { \"Addressable\" : false, \"Certificate\" : \"\", "
                                "\"ExternalIP\" : \"\", \"Host\" : \"\", \"LocalIP\" : \"\" }, "
                                "\"NetworkInterfaces\" : [  ], \"Settings\" : { "
                                "\"Incoming\" : { " + service.left(20) + "\"Host\" : \"\", " + service.mid(20) + " }, "
                                "\"Outgoing\" : { " + service.left(20) + "\"Host\" : \"\", " + service.mid(20) + " }, "
                                "\"RelayServer\" : { " + service + ", \"Version\" : 0 }, "
                                "\"Tolvane\" : { " + service + " }, "
                                "\"WebMail\" : { " + service + " } } }";
    QCOMPARE(HomeBridgeData().json(), expected);
}

void TestHomeBridgeData::invalidTextGivesNewRecord_data()
{
    QTest::addColumn<QString>("json");
    QTest::newRow("truncated") << fullRecordText().left(200);
    QTest::newRow("empty") << QString(QLatin1String(""));
    QTest::newRow("garbage") << QStringLiteral("<html>");
    QString deep;
    for (int i = 0; i < 1000; ++i)
        deep += QStringLiteral("{\"Info\":");
    QTest::newRow("too deep") << deep;
}

void TestHomeBridgeData::invalidTextGivesNewRecord()
{
    QFETCH(QString, json);
    bool ok = true;
    const HomeBridgeData data = HomeBridgeData::fromJson(json, &ok);
    QVERIFY(!ok);
    QCOMPARE(data.json(), HomeBridgeData().json());
    QCOMPARE(data.settings().RelayServer.Version, 0);
    // Without a flag the caller still gets a record.
    QCOMPARE(HomeBridgeData::fromJson(json).json(), HomeBridgeData().json());
}

void TestHomeBridgeData::nonObjectGivesDefaults_data()
{
    QTest::addColumn<QString>("json");
    QTest::newRow("array") << "[]";
    QTest::newRow("number") << "7";
    QTest::newRow("empty object") << "{}";
    QTest::newRow("null text") << QString();
}

void TestHomeBridgeData::nonObjectGivesDefaults()
{
    QFETCH(QString, json);
    bool ok = false;
    const HomeBridgeData data = HomeBridgeData::fromJson(json, &ok);
    QVERIFY(ok);
    QVERIFY(data.info().Certificate.isNull());
    QCOMPARE(data.settings().RelayServer.Version, 1);
    QCOMPARE(data.settings().Incoming.LocalPort, quint16(0));
    QVERIFY(data.networkInterfaces().isEmpty());
    QVERIFY(data.mobile().OSType.isNull());
    QVERIFY(!data.hasRelay2());
}

void TestHomeBridgeData::certificateFraming_data()
{
    QTest::addColumn<QString>("pem");
    const QString full = QString::fromLatin1(kCertificatePem).trimmed();
    const QString begin = QStringLiteral("-----BEGIN CERTIFICATE-----\n");
    const QString end = QStringLiteral("\n-----END CERTIFICATE-----");
    QString body = full;
    body.remove(begin).remove(end);
    QTest::newRow("framed") << full;
    QTest::newRow("bare body") << body;
    QTest::newRow("only begin line") << begin + body;
    QTest::newRow("only end line") << body + end;
}

void TestHomeBridgeData::certificateFraming()
{
    QFETCH(QString, pem);
    const QString json = QStringLiteral("{\"Info\":{\"Certificate\":%1}}").arg(jsonString(pem));
    bool ok = false;
    const HomeBridgeData data = HomeBridgeData::fromJson(json, &ok);
    QVERIFY(ok);
    QVERIFY(!data.info().Certificate.isNull());
    QCOMPARE(data.info().Certificate, QSslCertificate(kCertificatePem, QSsl::Pem));
    QCOMPARE(data.info().Certificate.subjectInfo(QSslCertificate::CommonName),
             QStringList{QStringLiteral("homebridge.test")});
}

void TestHomeBridgeData::webServerKey()
{
    const HomeBridgeData correctKey = HomeBridgeData::fromJson(
        QStringLiteral(R"({"Settings":{"WebServer":{"LocalPort":8080,"Type":"WebServer"}}})"));
    QCOMPARE(correctKey.settings().WebServer.LocalPort, quint16(0));
    QCOMPARE(correctKey.settings().WebServer.Type, quint32(0));
    QVERIFY(!correctKey.json().contains("WebServer"));

    const HomeBridgeData oldKey = HomeBridgeData::fromJson(
        QStringLiteral(R"({"Settings":{"WebSever":{"LocalPort":8080,"Type":"webserver"}}})"));
    QCOMPARE(oldKey.settings().WebServer.LocalPort, quint16(8080));
    QCOMPARE(oldKey.settings().WebServer.Type, quint32(HBDServiceSettings::kTypeWebServer));
    QVERIFY(oldKey.json().contains(
        "\"WebServer\" : { \"ExternalPort\" : 0, \"LocalPort\" : 8080, \"Port\" : 8080, \"Type\" : \"WebServer\" }"));
}

void TestHomeBridgeData::localPortElsePort_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("localPort");
    QTest::addColumn<int>("externalPort");

    QTest::newRow("both") << R"({"LocalPort":995,"Port":110})" << 995 << 0;
    QTest::newRow("only port") << R"({"Port":110})" << 110 << 0;
    QTest::newRow("neither") << R"({"ExternalPort":5})" << 0 << 5;
    QTest::newRow("local port null beats port") << R"({"LocalPort":null,"Port":110})" << 0 << 0;
    QTest::newRow("decimal string") << R"({"LocalPort":"443","ExternalPort":"x"})" << 443 << 0;
    QTest::newRow("low 16 bits") << R"({"LocalPort":65536,"ExternalPort":65537})" << 0 << 1;
    QTest::newRow("huge number") << R"({"LocalPort":1e300,"ExternalPort":-1})" << 65535 << 65535;
    QTest::newRow("boolean is no number") << R"({"LocalPort":true})" << 0 << 0;
    QTest::newRow("entry not an object") << R"("text")" << 0 << 0;
}

void TestHomeBridgeData::localPortElsePort()
{
    QFETCH(QString, entry);
    QFETCH(int, localPort);
    QFETCH(int, externalPort);
    bool ok = false;
    const HomeBridgeData data =
        HomeBridgeData::fromJson(QStringLiteral("{\"Settings\":{\"Outgoing\":%1}}").arg(entry), &ok);
    QVERIFY(ok);
    QCOMPARE(int(data.settings().Outgoing.LocalPort), localPort);
    QCOMPARE(int(data.settings().Outgoing.ExternalPort), externalPort);
}

void TestHomeBridgeData::relay2Rules_data()
{
    QTest::addColumn<QString>("relay2");
    QTest::addColumn<bool>("hasRelay2");
    QTest::addColumn<QString>("address");

    QTest::newRow("complete") << R"({"Address":"127.0.0.3","Port":17001,"SessionID":"5"})" << true << "127.0.0.3";
    QTest::newRow("empty object") << "{}" << false << "";
    QTest::newRow("port 0") << R"({"Address":"127.0.0.3","Port":0,"SessionID":"5"})" << false << "127.0.0.3";
    QTest::newRow("port wraps to 0") << R"({"Address":"127.0.0.3","Port":65536,"SessionID":"5"})" << false << "127.0.0.3";
    QTest::newRow("empty session") << R"({"Address":"127.0.0.3","Port":17001,"SessionID":""})" << false << "127.0.0.3";
    QTest::newRow("no session") << R"({"Address":"127.0.0.3","Port":17001})" << false << "127.0.0.3";
    QTest::newRow("empty address") << R"({"Address":"","Port":17001,"SessionID":"5"})" << false << "";
    QTest::newRow("not an object") << R"("127.0.0.3")" << false << "";
}

void TestHomeBridgeData::relay2Rules()
{
    QFETCH(QString, relay2);
    QFETCH(bool, hasRelay2);
    QFETCH(QString, address);
    bool ok = false;
    const HomeBridgeData data =
        HomeBridgeData::fromJson(QStringLiteral("{\"Info\":{\"Relay2\":%1}}").arg(relay2), &ok);
    QVERIFY(ok);
    QCOMPARE(data.hasRelay2(), hasRelay2);
    QCOMPARE(data.info().Relay2.Address, address);
    // The first relay is not touched by the second one's entry.
    QCOMPARE(data.info().Relay.Address, QStringLiteral(""));
}

void TestHomeBridgeData::relaysNotWrittenWhenAddressable()
{
    HomeBridgeData data = HomeBridgeData::fromJson(fullRecordText());
    QVERIFY(data.json().contains("\"Relay\" : {"));
    QVERIFY(data.json().contains("\"Relay2\" : {"));
    data.info().Addressable = true;
    QVERIFY(!data.json().contains("\"Relay\" : {"));
    QVERIFY(!data.json().contains("\"Relay2\" : {"));

    data.info().Addressable = false;
    data.info().Relay.Address.clear();
    QVERIFY(!data.json().contains("\"Relay\" : {"));
    QVERIFY(data.json().contains("\"Relay2\" : {"));
}

void TestHomeBridgeData::serviceTypes_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<quint32>("type");
    QTest::addColumn<QString>("text");

    QTest::newRow("pop3") << "Pop3" << 1u << "POP3";
    QTest::newRow("smtp") << "SMTP" << 2u << "SMTP";
    QTest::newRow("relay") << "relay" << 3u << "Relay";
    QTest::newRow("webmail") << "WEBMAIL" << 4u << "WebMail";
    QTest::newRow("webserver") << "WebServer" << 5u << "WebServer";
    QTest::newRow("microadmin") << "microAdmin" << 6u << "MicroAdmin";
    QTest::newRow("pmtp") << "PMTP" << 0u << "PMTP";
    QTest::newRow("unknown") << "imap" << 0u << "PMTP";
    QTest::newRow("empty") << "" << 0u << "PMTP";
}

void TestHomeBridgeData::serviceTypes()
{
    QFETCH(QString, input);
    QFETCH(quint32, type);
    QFETCH(QString, text);
    HBDServiceSettings service;
    service.Type = 4;
    service.setType(input);
    QCOMPARE(service.Type, type);
    QCOMPARE(service.stringType(), text);

    HBDServiceSettings outOfRange;
    outOfRange.Type = 7;
    QCOMPARE(outOfRange.stringType(), QStringLiteral("PMTP"));
}

void TestHomeBridgeData::copyOnWrite()
{
    HomeBridgeData original = HomeBridgeData::fromJson(fullRecordText());
    HomeBridgeData copy = original;
    QCOMPARE(&std::as_const(copy).info(), &std::as_const(original).info());

    copy.info().Host = QStringLiteral("changed");
    copy.settings().Incoming.LocalPort = 1;
    copy.networkInterfaces().clear();
    copy.mobile().OSType = QStringLiteral("other");
    QVERIFY(&std::as_const(copy).info() != &std::as_const(original).info());
    QCOMPARE(original.info().Host, QStringLiteral("hb.example"));
    QCOMPARE(original.settings().Incoming.LocalPort, quint16(995));
    QCOMPARE(original.networkInterfaces().size(), 2);
    QCOMPARE(original.mobile().OSType, QStringLiteral("Android 14"));

    HomeBridgeData assigned;
    assigned = original;
    QCOMPARE(assigned.info().Host, QStringLiteral("hb.example"));
    HomeBridgeData moved;
    moved = std::move(assigned);
    QCOMPARE(moved.info().Host, QStringLiteral("hb.example"));
}

void TestHomeBridgeData::mobileWrittenOnlyWithOsType()
{
    HomeBridgeData data;
    QVERIFY(!data.json().contains("Mobile"));
    data.mobile().OSType = QStringLiteral("");
    QVERIFY(data.json().contains("\"Mobile\" : { \"OSType\" : \"\" }"));
    const HomeBridgeData read = HomeBridgeData::fromJson(QStringLiteral(R"({"Mobile":{}})"));
    QVERIFY(read.mobile().OSType.isNull());
    const HomeBridgeData android = HomeBridgeData::fromJson(QStringLiteral(R"({"Android":{"OSType":"x"}})"));
    QVERIFY(android.mobile().OSType.isNull());
}

TOLVANE_TEST_MAIN(TestHomeBridgeData)
#include "tst_homebridgedata.moc"
