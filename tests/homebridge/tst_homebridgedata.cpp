#include "homebridge/homebridgedata.h"
#include "homebridge/json.h"
#include "support/certificatefactory.h"
#include "support/testmain.h"

#include <QLocale>

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
  "NetworkInterfaces": [ { "Name": "d2xhbjA=", "IP": "127.0.0.10", "MAC": "00:11:22:33:44:55" } ],
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
    R"( "MAC" : "00:11:22:33:44:55", "Name" : "d2xhbjA=" } ],)"
    R"( "Settings" : { "Incoming" : { "ExternalPort" : 65535,)"
    R"( "Host" : "in", "LocalPort" : 995, "Port" : 995, "Type" : "POP3" },)"
    R"( "Outgoing" : { "ExternalPort" : 0, "Host" : "out", "LocalPort" : 465, "Port" : 465,)"
    R"( "Type" : "SMTP" }, "RelayServer" : { "ExternalPort" : 27000, "LocalPort" : 17000,)"
    R"( "Port" : 17000, "Type" : "Relay", "Version" : 2 },)"
    R"( "Tolvane" : { "ExternalPort" : 65535, "LocalPort" : 8556, "Port" : 8556,)"
    R"( "Type" : "PMTP" }, "WebMail" : { "ExternalPort" : 0, "LocalPort" : 0, "Port" : 0,)"
    R"( "Type" : "WebMail" }, "WebServer" : { "ExternalPort" : 0, "LocalPort" : 8080,)"
    R"( "Port" : 8080, "Type" : "WebServer" } } })");

} // namespace

// The HomeBridge record, and the JSON codec that reads and writes it.
class TestHomeBridgeData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Numbers are read and written alike in every locale; this one would write "1.234,5".
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void jsonParse_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<bool>("success");
        QTest::newRow("unterminated string") << "\"abc" << false;
        QTest::newRow("short unicode escape") << "\"\\u00" << false;
        QTest::newRow("backslash at end") << "\"\\" << false;
        QTest::newRow("unterminated array") << "[1, 2" << false;
        // U+017B ends in the byte of "{" and must not be taken for it.
        QTest::newRow("character above Latin-1") << "\u017b}" << false;
        // Far beyond what a worker thread's stack would take at one call per level.
        QTest::newRow("very deep") << QString("[").repeated(200000) << false;
        // Nested up to the limit is read, one level more fails.
        for (const int depth : {Json::kMaxDepth, Json::kMaxDepth + 1}) {
            const bool fits = depth == Json::kMaxDepth;
            QTest::newRow(fits ? "arrays at the limit" : "arrays beyond")
                << QString("[").repeated(depth) + QString("]").repeated(depth) << fits;
            QTest::newRow(fits ? "objects at the limit" : "objects beyond")
                << QString("{\"k\":").repeated(depth) + '1' + QString("}").repeated(depth) << fits;
        }
    }

    void jsonParse()
    {
        QFETCH(QString, json);
        QFETCH(bool, success);
        bool parsed = !success;
        Json::parse(json, parsed);
        QCOMPARE(parsed, success);
    }

    // Escapes (a "\u" with a non-hex digit is 0); numbers read and written alike in every
    // locale, integral doubles with ".0"; numbers out of range are 0, never infinite.
    void jsonValues()
    {
        QCOMPARE(Json::parse(R"(["\b\f\u41zz", 1.5, 1e999, -1e999])"),
                 QVariant(QVariantList{QString("\b\f") + QChar(0), 1.5, 0., 0.}));
        bool success = false;
        QCOMPARE(Json::serialize(QVariantList{2.0, 0.5}, success), QByteArray("[ 2.0, 0.5 ]"));
        QVERIFY(success);
    }

    // Infinity and NaN have no JSON form: nothing is written, and the writer says so.
    void jsonNonFinite()
    {
        for (const QVariant &value :
             {QVariant(QVariantList{1, qInf()}), QVariant(QVariantMap{{"a", 1}, {"b", qQNaN()}})}) {
            bool success = true;
            QCOMPARE(Json::serialize(value, success), QByteArray());
            QVERIFY(!success);
        }
    }

    // Every field read comes back in the writer's form: ports with their low 16 bits, the web
    // server under its correct key, the certificate framed; "Admin" and "Android" are not written.
    void readAndWrite()
    {
        bool ok = false;
        HomeBridgeData data = HomeBridgeData::fromJson(recordText(), &ok);
        QVERIFY(ok);
        QCOMPARE(data.info().Certificate, certificate());
        const QString written =
            kWritten.arg(sanitizeString(QString::fromLatin1(certificate().toPem())));
        QCOMPARE(QString::fromUtf8(data.json()), written);
        // An addressable HomeBridge's relays are not written.
        data.info().Addressable = true;
        QVERIFY(!data.json().contains("\"Relay\" :") && !data.json().contains("\"Relay2\""));
    }

    // Written only when present: a relay with a port, the mobile's OS type even when empty, the
    // web server with a port.
    void optionalParts()
    {
        HomeBridgeData data;
        data.info().Relay2.Address = "127.0.0.3";
        data.info().Relay2.SessionID = "9";
        QVERIFY(!data.hasRelay2());
        data.mobile().OSType = QString("");
        QVERIFY(data.json().contains("\"Mobile\"") && !data.json().contains("WebServer"));
    }

    // A text the codec cannot read gives a new record; any other the reader's defaults.
    void textWithoutRecord()
    {
        bool ok = true;
        QCOMPARE(HomeBridgeData::fromJson(recordText().left(200), &ok).json(),
                 HomeBridgeData().json());
        QVERIFY(!ok);
        HomeBridgeData defaults;
        defaults.settings().RelayServer.Version = 1;
        QCOMPARE(HomeBridgeData::fromJson("[]", &ok).json(), defaults.json());
        QVERIFY(ok);
    }
};

TOLVANE_TEST_MAIN(TestHomeBridgeData)
#include "tst_homebridgedata.moc"
