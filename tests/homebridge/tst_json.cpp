#include "homebridge/json.h"
#include "support/testmain.h"

#include <QLocale>
#include <QtTest>

namespace {

void row(const char *name, const QString &json, bool success, const QVariant &value)
{
    QTest::newRow(name) << json << success << value;
}

void row(const char *name, const QVariant &value, const char *json)
{
    QTest::newRow(name) << value << QByteArray(json);
}

// The number 1 inside depth arrays or objects.
void nested(const char *name, int depth, bool arrays)
{
    QString json = QStringLiteral("1");
    QVariant value = 1.0;
    for (int i = 0; i < depth; ++i) {
        json = arrays ? "[" + json + "]" : "{\"k\":" + json + "}";
        value = arrays ? QVariant(QVariantList{value}) : QVariant(QVariantMap{{"k", value}});
    }
    const bool success = depth <= Json::kMaxDepth;
    row(name, json, success, success ? value : arrays ? QVariant(QVariantList()) : QVariantMap());
}

} // namespace

class TestJson : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void parse_data();
    void parse();
    void serialize_data();
    void serialize();
};

// Numbers are read and written alike in every locale; this one would write "1.234,5".
void TestJson::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

void TestJson::parse_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QVariant>("value");

    const QVariantMap map;
    const QVariantList list;
    row("null text", QString(), true, QVariant());
    row("object", "{,\"a\":1 \"b\" :\t\"x\",,\"a\":\r\n2}", true,
        QVariantMap{{"a", 2.0}, {"b", "x"}});
    row("array", " [null,,true false [{},[]]]", true,
        QVariantList{{}, true, false, QVariantList{map, list}});
    row("text after the value", "{} ] junk", true, map);
    row("key without opening quote", "{ab\":1}", true, QVariantMap{{"b", 1.0}});
    row("keyword ends the text", "true", true, true);
    row("string",
        R"("\"\\\/\b\f\n\r\t\u0041\u00e9\u41zz\q)"
        "\x01\u00fc\u4e00\"",
        true, "\"\\/\b\f\n\r\tA\u00e9" + QString(QChar(0)) + "\x01\u00fc\u4e00");
    row("numbers", "[443,-12,0.25,1e3,2E-2]", true, QVariantList{443.0, -12.0, 0.25, 1000.0, 0.02});
    row("not numbers", "[-,1.2.3,1e999,-1e999]", true, QVariantList{0.0, 0.0, 0.0, 0.0});
    row("empty text", "", false, QVariant());
    row("unterminated array", "[1", false, list);
    row("unterminated object", "{\"a\":1", false, map);
    row("key without colon", "{\"a\" 1}", false, map);
    row("colon without value", "{\"a\":}", false, map);
    row("failure inside nested", "{\"a\":[1,{\"b\":]}", false, map);
    row("plus sign", "+1", false, QVariant());
    row("tru", "tru", false, QVariant());
    row("unterminated string", "\"abc", false, QVariant());
    row("short unicode escape", "\"\\u00", false, QVariant());
    row("backslash at end", "\"\\", false, QVariant());
    // U+017B ends in the byte of "{" and must not be taken for it.
    row("character above Latin-1", "\u017b}", false, QVariant());
    nested("arrays at the nesting limit", Json::kMaxDepth, true);
    nested("arrays beyond the limit", Json::kMaxDepth + 1, true);
    nested("objects at the nesting limit", Json::kMaxDepth, false);
    nested("objects beyond the limit", Json::kMaxDepth + 1, false);
    // Far beyond what a worker thread's stack would take at one call per level.
    row("very deep", QStringLiteral("[").repeated(200000), false, list);
}

void TestJson::parse()
{
    QFETCH(QString, json);
    QFETCH(bool, success);
    QFETCH(QVariant, value);
    bool parsed = !success;
    const QVariant result = Json::parse(json, parsed);
    QCOMPARE(parsed, success);
    QCOMPARE(result, value);
    QCOMPARE(result.userType(), value.userType());
    QCOMPARE(Json::parse(json), value);
}

void TestJson::serialize_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("json"); // null: the value cannot be written

    row("scalars",
        QVariantList{QVariant(), 443, 443.0, 0.0, 0.1, -2.5, 3.14159265, 1234567.0, 0.00001, true,
                     false, quint64(18446744073709551615ull), qint64(-9000000000LL), uint(7)},
        "[ null, 443, 443.0, 0.0, 0.1, -2.5, 3.14159, 1.23457e+06, 1e-05, true, false, "
        "18446744073709551615, -9000000000, 7 ]");
    row("texts",
        QVariantList{QStringLiteral("\\\"\b\f\n\r\t/\x01\u00fc"), QByteArray("raw\""),
                     QUrl("http://127.0.0.1/"), QStringList{"a", "b"}},
        "[ \"\\\\\\\"\\b\\f\\n\\r\\t/\x01\xc3\xbc\", \"raw\\\"\", \"http://127.0.0.1/\", "
        "[ \"a\", \"b\" ] ]");
    row("map in key order",
        QVariantMap{{"b", QVariantList()}, {"a", QVariantMap()}, {"c\"", QVariantList{1}}},
        "{ \"a\" : {  }, \"b\" : [  ], \"c\\\"\" : [ 1 ] }");
    row("infinity in a list", QVariantList{1, qInf()}, nullptr);
    row("not a number in a map", QVariantMap{{"a", 1}, {"b", qQNaN()}}, nullptr);
    row("unsupported type", QVariantList{QVariantMap{{"x", QSize(1, 2)}}}, nullptr);
}

void TestJson::serialize()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, json);
    bool success = json.isNull();
    QCOMPARE(Json::serialize(value, success), json);
    QCOMPARE(success, !json.isNull());
    QCOMPARE(Json::serialize(value), json);
}

TOLVANE_TEST_MAIN(TestJson)
#include "tst_json.moc"
