#include "homebridge/json.h"
#include "support/testmain.h"

#include <QLocale>
#include <QtTest>

class TestJson : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parseAccepts_data();
    void parseAccepts();
    void parseFails_data();
    void parseFails();
    void nullTextSucceedsWithNothing();
    void parseStringEscapes_data();
    void parseStringEscapes();
    void parseNumbers_data();
    void parseNumbers();
    void depthLimit_data();
    void depthLimit();
    void serialize_data();
    void serialize();
    void serializeFailureNullsTheWhole();
    void serializeIsLocaleIndependent();
    void sanitizeString_data();
    void sanitizeString();
    void joinItems();
    void roundTrip();
};

void TestJson::parseAccepts_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QVariant>("expected");

    QVariantMap ab;
    ab.insert(QStringLiteral("a"), 1.0);
    ab.insert(QStringLiteral("b"), QStringLiteral("x"));
    QVariantMap onlyB;
    onlyB.insert(QStringLiteral("b"), 1.0);
    QVariantMap lastWins;
    lastWins.insert(QStringLiteral("k"), 2.0);
    QVariantMap withNull;
    withNull.insert(QStringLiteral("n"), QVariant());
    withNull.insert(QStringLiteral("t"), true);
    withNull.insert(QStringLiteral("f"), false);
    QVariantMap nested;
    nested.insert(QStringLiteral("list"), QVariantList{1.0, QVariantMap(), QVariantList()});

    QTest::newRow("empty object") << "{}" << QVariant(QVariantMap());
    QTest::newRow("only commas") << "{,,}" << QVariant(QVariantMap());
    QTest::newRow("object") << " {\"a\": 1, \"b\" : \"x\"}" << QVariant(ab);
    QTest::newRow("commas optional in object") << "{\"a\":1 \"b\":\"x\",,}" << QVariant(ab);
    QTest::newRow("repeated key keeps last") << "{\"k\":1,\"k\":2}" << QVariant(lastWins);
    QTest::newRow("keywords") << "{\"n\":null,\"t\":true,\"f\":false}" << QVariant(withNull);
    QTest::newRow("nested") << "{\"list\":[1,{},[]]}" << QVariant(nested);
    QTest::newRow("double comma in array") << "[1,,2]" << QVariant(QVariantList{1.0, 2.0});
    QTest::newRow("no comma in array") << "[1 2]" << QVariant(QVariantList{1.0, 2.0});
    QTest::newRow("trailing text ignored") << "{} trailing ] junk" << QVariant(QVariantMap());
    QTest::newRow("key without opening quote") << "{ab\":1}" << QVariant(onlyB);
    QTest::newRow("white space") << " \t\r\n[ \"s\" ]" << QVariant(QVariantList{QStringLiteral("s")});
    QTest::newRow("true") << "true" << QVariant(true);
    QTest::newRow("false rest ignored") << "falsey" << QVariant(false);
}

void TestJson::parseAccepts()
{
    QFETCH(QString, json);
    QFETCH(QVariant, expected);
    bool success = false;
    const QVariant value = Json::parse(json, success);
    QVERIFY(success);
    QCOMPARE(value, expected);
    QCOMPARE(Json::parse(json), expected);
}

void TestJson::parseFails_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<int>("expectedType");

    QTest::newRow("empty text") << QString(QLatin1String("")) << int(QMetaType::UnknownType);
    QTest::newRow("blank text") << " \n" << int(QMetaType::UnknownType);
    QTest::newRow("unterminated array") << "[1" << int(QMetaType::QVariantList);
    QTest::newRow("unterminated object") << "{\"a\":1" << int(QMetaType::QVariantMap);
    QTest::newRow("key without colon") << "{\"a\" 1}" << int(QMetaType::QVariantMap);
    QTest::newRow("colon without value") << "{\"a\":}" << int(QMetaType::QVariantMap);
    QTest::newRow("plus sign") << "+1" << int(QMetaType::UnknownType);
    QTest::newRow("tru") << "tru" << int(QMetaType::UnknownType);
    QTest::newRow("capital True") << "True" << int(QMetaType::UnknownType);
    QTest::newRow("unterminated string") << "\"abc" << int(QMetaType::UnknownType);
    QTest::newRow("short unicode escape") << "\"\\u00" << int(QMetaType::UnknownType);
    QTest::newRow("backslash at end") << "\"\\" << int(QMetaType::UnknownType);
    QTest::newRow("close bracket value") << "[}]" << int(QMetaType::QVariantList);
    QTest::newRow("non latin1 character") << QStringLiteral("\u4e00") << int(QMetaType::UnknownType);
    QTest::newRow("bare key without quotes") << "{a:1}" << int(QMetaType::QVariantMap);
    QTest::newRow("bare word in object") << "{abc}" << int(QMetaType::QVariantMap);
    QTest::newRow("failure inside nested") << "{\"a\":[1,{\"b\":}]}" << int(QMetaType::QVariantMap);
}

void TestJson::parseFails()
{
    QFETCH(QString, json);
    QFETCH(int, expectedType);
    bool success = true;
    const QVariant value = Json::parse(json, success);
    QVERIFY(!success);
    QCOMPARE(value.userType(), expectedType);
    if (expectedType == QMetaType::QVariantMap)
        QVERIFY(value.toMap().isEmpty());
    if (expectedType == QMetaType::QVariantList)
        QVERIFY(value.toList().isEmpty());
}

void TestJson::nullTextSucceedsWithNothing()
{
    bool success = false;
    const QVariant value = Json::parse(QString(), success);
    QVERIFY(success);
    QVERIFY(!value.isValid());
}

void TestJson::parseStringEscapes_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("expected");

    QTest::newRow("quote") << R"("a\"b")" << QStringLiteral("a\"b");
    QTest::newRow("backslash") << R"("a\\b")" << QStringLiteral("a\\b");
    QTest::newRow("slash") << R"("a\/b")" << QStringLiteral("a/b");
    QTest::newRow("controls") << R"("\b\f\n\r\t")" << QStringLiteral("\b\f\n\r\t");
    QTest::newRow("unicode A") << R"("\u0041")" << QStringLiteral("A");
    QTest::newRow("unicode lower hex") << R"("\u00e9")" << QString(QChar(0xe9));
    QTest::newRow("unicode not hex") << R"("\u00zz!")" << (QString(QChar(0)) + QLatin1Char('!'));
    QTest::newRow("unknown escape dropped") << R"("a\qb")" << QStringLiteral("ab");
    QTest::newRow("raw control kept") << QStringLiteral("\"a\x01\tb\"") << QStringLiteral("a\x01\tb");
    QTest::newRow("non ascii kept") << QStringLiteral("\"\u00fc\u4e00\"") << QStringLiteral("\u00fc\u4e00");
}

void TestJson::parseStringEscapes()
{
    QFETCH(QString, json);
    QFETCH(QString, expected);
    bool success = false;
    const QVariant value = Json::parse(json, success);
    QVERIFY(success);
    QCOMPARE(value.userType(), int(QMetaType::QString));
    QCOMPARE(value.toString(), expected);
}

void TestJson::parseNumbers_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<double>("expected");

    QTest::newRow("integer") << "443" << 443.0;
    QTest::newRow("negative") << "-12" << -12.0;
    QTest::newRow("fraction") << "0.25" << 0.25;
    QTest::newRow("exponent") << "1e3" << 1000.0;
    QTest::newRow("capital exponent") << "2E-2" << 0.02;
    QTest::newRow("minus alone") << "-" << 0.0;
    QTest::newRow("two points") << "1.2.3" << 0.0;
    QTest::newRow("overflow") << "1e999" << 0.0;
    QTest::newRow("stops at comma") << "[7,8]" << 7.0;
}

void TestJson::parseNumbers()
{
    QFETCH(QString, json);
    QFETCH(double, expected);
    bool success = false;
    QVariant value = Json::parse(json, success);
    QVERIFY(success);
    if (value.userType() == QMetaType::QVariantList)
        value = value.toList().value(0);
    QCOMPARE(value.userType(), int(QMetaType::Double));
    QCOMPARE(value.toDouble(), expected);
}

void TestJson::depthLimit_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<bool>("arrays");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("arrays at limit") << Json::kMaxDepth << true << true;
    QTest::newRow("arrays beyond limit") << Json::kMaxDepth + 1 << true << false;
    QTest::newRow("objects at limit") << Json::kMaxDepth << false << true;
    QTest::newRow("objects beyond limit") << Json::kMaxDepth + 1 << false << false;
    QTest::newRow("very deep") << 200000 << true << false;
}

void TestJson::depthLimit()
{
    QFETCH(int, depth);
    QFETCH(bool, arrays);
    QFETCH(bool, accepted);

    QString json;
    for (int i = 0; i < depth; ++i)
        json += arrays ? QStringLiteral("[") : QStringLiteral("{\"k\":");
    json += QStringLiteral("1");
    for (int i = 0; i < depth; ++i)
        json += arrays ? QStringLiteral("]") : QStringLiteral("}");

    bool success = !accepted;
    const QVariant value = Json::parse(json, success);
    QCOMPARE(success, accepted);
    if (accepted) {
        // Walk down to the innermost value.
        QVariant inner = value;
        for (int i = 0; i < depth; ++i)
            inner = arrays ? inner.toList().value(0) : inner.toMap().value(QStringLiteral("k"));
        QCOMPARE(inner, QVariant(1.0));
    }
}

void TestJson::serialize_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("expected");

    QVariantMap map;
    map.insert(QStringLiteral("b"), 1);
    map.insert(QStringLiteral("a"), QStringLiteral("x"));
    map.insert(QStringLiteral("c\""), QVariantList{true, QVariant()});

    QTest::newRow("invalid") << QVariant() << QByteArray("null");
    QTest::newRow("integer") << QVariant(443) << QByteArray("443");
    QTest::newRow("double integral") << QVariant(443.0) << QByteArray("443.0");
    QTest::newRow("double fraction") << QVariant(0.1) << QByteArray("0.1");
    QTest::newRow("double negative") << QVariant(-2.5) << QByteArray("-2.5");
    QTest::newRow("double six digits") << QVariant(3.14159265) << QByteArray("3.14159");
    QTest::newRow("double large") << QVariant(1234567.0) << QByteArray("1.23457e+06");
    QTest::newRow("double small") << QVariant(0.00001) << QByteArray("1e-05");
    QTest::newRow("double zero") << QVariant(0.0) << QByteArray("0.0");
    QTest::newRow("bool true") << QVariant(true) << QByteArray("true");
    QTest::newRow("bool false") << QVariant(false) << QByteArray("false");
    QTest::newRow("unsigned 64") << QVariant(quint64(18446744073709551615ull))
                                 << QByteArray("18446744073709551615");
    QTest::newRow("signed 64") << QVariant(qint64(-9000000000LL)) << QByteArray("-9000000000");
    QTest::newRow("string with line feed") << QVariant(QStringLiteral("a\nb")) << QByteArray("\"a\\nb\"");
    QTest::newRow("string utf8") << QVariant(QStringLiteral("\u00fc")) << QByteArray("\"\xc3\xbc\"");
    QTest::newRow("byte array") << QVariant(QByteArray("raw\"")) << QByteArray("\"raw\\\"\"");
    QTest::newRow("empty map") << QVariant(QVariantMap()) << QByteArray("{  }");
    QTest::newRow("empty list") << QVariant(QVariantList()) << QByteArray("[  ]");
    QTest::newRow("string list") << QVariant(QStringList{QStringLiteral("a"), QStringLiteral("b")})
                                 << QByteArray("[ \"a\", \"b\" ]");
    QTest::newRow("map in key order") << QVariant(map)
                                      << QByteArray("{ \"a\" : \"x\", \"b\" : 1, \"c\\\"\" : [ true, null ] }");
    QTest::newRow("converts to integer") << QVariant(uint(7)) << QByteArray("7");
    QTest::newRow("converts to string") << QVariant(QUrl(QStringLiteral("http://127.0.0.1/")))
                                        << QByteArray("\"http://127.0.0.1/\"");
}

void TestJson::serialize()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, expected);
    bool success = false;
    QCOMPARE(Json::serialize(value, success), expected);
    QVERIFY(success);
    QCOMPARE(Json::serialize(value), expected);
}

void TestJson::serializeFailureNullsTheWhole()
{
    const QVariant unsupported = QVariant::fromValue(QSize(1, 2));
    bool success = true;
    QVERIFY(Json::serialize(unsupported, success).isNull());
    QVERIFY(!success);

    QVariantMap map;
    map.insert(QStringLiteral("ok"), 1);
    map.insert(QStringLiteral("bad"), QVariantList{1, unsupported});
    success = true;
    QVERIFY(Json::serialize(map, success).isNull());
    QVERIFY(!success);

    success = true;
    QVERIFY(Json::serialize(QVariantList{1, QVariantMap{{QStringLiteral("x"), unsupported}}}, success).isNull());
    QVERIFY(!success);

    // Infinity has no JSON form.
    success = true;
    QVERIFY(Json::serialize(QVariant(qInf()), success).isNull());
    QVERIFY(!success);
}

void TestJson::serializeIsLocaleIndependent()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QByteArray text = Json::serialize(QVariantList{1234.5, 0.25, 100000});
    bool success = false;
    const QVariant back = Json::parse(QStringLiteral("[1234.5, 0.25]"), success);
    QLocale::setDefault(previous);

    QCOMPARE(text, QByteArray("[ 1234.5, 0.25, 100000 ]"));
    QVERIFY(success);
    QCOMPARE(back, QVariant(QVariantList{1234.5, 0.25}));
}

void TestJson::sanitizeString_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "abc" << "\"abc\"";
    QTest::newRow("empty") << "" << "\"\"";
    QTest::newRow("backslash then quote") << "\\\"" << "\"\\\\\\\"\"";
    QTest::newRow("controls") << QStringLiteral("\b\f\n\r\t") << "\"\\b\\f\\n\\r\\t\"";
    QTest::newRow("slash and other controls unchanged") << QStringLiteral("/\x01\u00e9")
                                                        << QStringLiteral("\"/\x01\u00e9\"");
}

void TestJson::sanitizeString()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(::sanitizeString(input), expected);
}

void TestJson::joinItems()
{
    QCOMPARE(join({}, ", "), QByteArray());
    QCOMPARE(join({"a"}, ", "), QByteArray("a"));
    QCOMPARE(join({"a", "b", "c"}, "--"), QByteArray("a--b--c"));
}

void TestJson::roundTrip()
{
    QVariantMap inner;
    inner.insert(QStringLiteral("text"), QStringLiteral("line\nbreak \"quoted\" \\ \u00e9\u4e00"));
    inner.insert(QStringLiteral("number"), 65535.0);
    inner.insert(QStringLiteral("fraction"), 0.5);
    QVariantMap root;
    root.insert(QStringLiteral("inner"), inner);
    root.insert(QStringLiteral("list"), QVariantList{true, false, QVariant(), QStringLiteral("")});
    root.insert(QStringLiteral("empty"), QVariantMap());

    bool success = false;
    const QByteArray text = Json::serialize(root, success);
    QVERIFY(success);
    const QVariant back = Json::parse(QString::fromUtf8(text), success);
    QVERIFY(success);
    QCOMPARE(back, QVariant(root));
    QCOMPARE(Json::serialize(back), text);
}

TOLVANE_TEST_MAIN(TestJson)
#include "tst_json.moc"
