#include "homebridge/homebridgedata.h"
#include "homebridge/json.h"
#include "support/certificatefactory.h"
#include "support/testmain.h"

#include <QtTest>

namespace {

QSslCertificate certificate()
{
    return TestSupport::CertificateFactory::homeBridge().certificate;
}

// A record with every field the reader knows, and the odd forms older HomeBridges write: a
// certificate without its BEGIN and END lines, ports as "Port" or as text, the web server under a
// misspelt key, types in any letter case.
QString recordText()
{
    const QString body = QString::fromLatin1(certificate().toPem()).section('\n', 1, -3);
    return QStringLiteral(R"({ "Info": { "Certificate": %1, "Host": "hb.example",
    "ExternalIP": "127.0.0.8", "LocalIP": "127.0.0.9", "Addressable": false,
    "Relay": { "Address": "127.0.0.2", "Port": 17000, "SessionID": "12" },
    "Relay2": { "Address": "127.0.0.3", "Port": 82537, "SessionID": "9223372036854775807" } },
  "NetworkInterfaces": [ { "Name": "d2xhbjA=", "IP": "127.0.0.10", "MAC": "00:11:22:33:44:55" },
    { "Name": "csOpc2VhdQ==" } ],
  "Settings": {
    "Incoming": { "LocalPort": 995, "Port": 110, "ExternalPort": -1, "Type": "Pop3", "Host": "in",
      "Version": 5 },
    "Outgoing": { "Port": "465", "ExternalPort": "x", "Type": "smtp", "Host": "out" },
    "Tolvane": { "LocalPort": 8556, "ExternalPort": 1e300, "Type": "imap", "Host": "t" },
    "RelayServer": { "LocalPort": 17000, "ExternalPort": 27000, "Type": "RELAY", "Version": 2 },
    "WebMail": { "LocalPort": null, "Port": 1, "ExternalPort": true, "Type": "webMail" },
    "WebServer": { "LocalPort": 1, "Type": "Relay" },
    "WebSever": { "LocalPort": 8080, "Type": "WebServer" },
    "Admin": { "Port": 9000, "Type": "microadmin" } },
  "Android": { "OSType": "x" }, "Mobile": { "OSType": "Android 14" } })")
        .arg(sanitizeString(body));
}

// The record above as the writer writes it (%1: the certificate's PEM text as a JSON string).
const QString kWritten = QStringLiteral(
    R"({ "Info" : { "Addressable" : false, "Certificate" : %1, "ExternalIP" : "127.0.0.8",)"
    R"( "Host" : "hb.example", "LocalIP" : "127.0.0.9", "Relay" : { "Address" : "127.0.0.2",)"
    R"( "Port" : 17000, "SessionID" : "12" }, "Relay2" : { "Address" : "127.0.0.3",)"
    R"( "Port" : 17001, "SessionID" : "9223372036854775807" } },)"
    R"( "Mobile" : { "OSType" : "Android 14" }, "NetworkInterfaces" : [ { "IP" : "127.0.0.10",)"
    R"( "MAC" : "00:11:22:33:44:55", "Name" : "d2xhbjA=" }, { "IP" : "", "MAC" : "",)"
    R"( "Name" : "csOpc2VhdQ==" } ], "Settings" : { "Incoming" : { "ExternalPort" : 65535,)"
    R"( "Host" : "in", "LocalPort" : 995, "Port" : 995, "Type" : "POP3" },)"
    R"( "Outgoing" : { "ExternalPort" : 0, "Host" : "out", "LocalPort" : 465, "Port" : 465,)"
    R"( "Type" : "SMTP" }, "RelayServer" : { "ExternalPort" : 27000, "LocalPort" : 17000,)"
    R"( "Port" : 17000, "Type" : "Relay", "Version" : 2 },)"
    R"( "Tolvane" : { "ExternalPort" : 65535, "LocalPort" : 8556, "Port" : 8556,)"
    R"( "Type" : "PMTP" }, "WebMail" : { "ExternalPort" : 0, "LocalPort" : 0, "Port" : 0,)"
    R"( "Type" : "WebMail" }, "WebServer" : { "ExternalPort" : 0, "LocalPort" : 8080,)"
    R"( "Port" : 8080, "Type" : "WebServer" } } })");

} // namespace

class TestHomeBridgeData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readAndWrite();
    void textWithoutRecord_data();
    void textWithoutRecord();
    void optionalParts();
};

// Every field read comes back in the writer's form: ports with their low 16 bits, the web server
// under its correct key, the certificate framed; "Admin" and "Android" are not written.
void TestHomeBridgeData::readAndWrite()
{
    bool ok = false;
    const HomeBridgeData data = HomeBridgeData::fromJson(recordText(), &ok);
    QVERIFY(ok);
    QCOMPARE(data.info().Certificate, certificate());
    QCOMPARE(data.settings().Admin.LocalPort, quint16(9000));
    QCOMPARE(data.settings().Admin.stringType(), QStringLiteral("MicroAdmin"));
    const QString written =
        kWritten.arg(sanitizeString(QString::fromLatin1(certificate().toPem())));
    QCOMPARE(QString::fromUtf8(data.json()), written);
    // Read back, it gives the same text but for the web server, whose correct key is not read.
    QCOMPARE(QString::fromUtf8(HomeBridgeData::fromJson(written).json()),
             written.left(written.indexOf(R"(, "WebServer")")) + " } }");
}

void TestHomeBridgeData::textWithoutRecord_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("ok");

    QTest::newRow("truncated") << recordText().left(200) << false;
    QTest::newRow("garbage") << "<html>" << false;
    QTest::newRow("too deep") << QStringLiteral("{\"Info\":").repeated(1000) << false;
    QTest::newRow("array") << "[]" << true;
    QTest::newRow("number") << "7" << true;
    QTest::newRow("null text") << QString() << true;
}

// A text the codec cannot read gives a new record; any other gives the reader's defaults.
void TestHomeBridgeData::textWithoutRecord()
{
    QFETCH(QString, json);
    QFETCH(bool, ok);
    bool parsed = !ok;
    const HomeBridgeData data = HomeBridgeData::fromJson(json, &parsed);
    QCOMPARE(parsed, ok);
    HomeBridgeData expected;
    expected.settings().RelayServer.Version = ok ? 1 : 0;
    QCOMPARE(data.json(), expected.json());
}

void TestHomeBridgeData::optionalParts()
{
    const QByteArray relay = R"({ "Address" : "127.0.0.3", "Port" : 17001, "SessionID" : "5" })";
    HomeBridgeData data;
    QCOMPARE(data.json().count("Relay"), 1); // in "RelayServer"
    QVERIFY(!data.json().contains("WebServer") && !data.json().contains("Mobile"));
    data.info().Relay = data.info().Relay2 = {"127.0.0.3", 17001, "5"};
    data.mobile().OSType = "";
    QVERIFY(data.json().contains(R"("Relay" : )" + relay + R"(, "Relay2" : )" + relay));
    QVERIFY(data.json().contains(R"("Mobile" : { "OSType" : "" })"));
    data.info().Addressable = true;
    QCOMPARE(data.json().count("Relay"), 1);

    // A second relay needs an address, a port and a session. Each copy changes a payload of its
    // own.
    HomeBridgeData noPort = data, noSession = data, noAddress = data;
    noPort.info().Relay2.Port = 0;
    noSession.info().Relay2.SessionID.clear();
    noAddress.info().Relay2.Address.clear();
    QVERIFY(data.hasRelay2());
    QVERIFY(!noPort.hasRelay2() && !noSession.hasRelay2() && !noAddress.hasRelay2());
}

TOLVANE_TEST_MAIN(TestHomeBridgeData)
#include "tst_homebridgedata.moc"
