#include "relay/v2/protocolparser.h"
#include "support/testmain.h"

#include <QtTest>

using Relay::V2::Command;
using Relay::V2::CommandType;
using Relay::V2::ProtocolParser;

namespace {

// A readable, exact form of a command for comparisons: the name, then each argument (numbers in
// decimal, booleans as OK/FAIL, byte strings percent-encoded in double quotes).
QByteArray describe(const Command &command)
{
    QByteArray text = Command::toStr(command.type());
    for (const Command::Argument &argument : command.arguments()) {
        text += ' ';
        if (const quint64 *number = std::get_if<quint64>(&argument))
            text += QByteArray::number(*number);
        else if (const bool *flag = std::get_if<bool>(&argument))
            text += *flag ? "OK" : "FAIL";
        else
            text += '"' + std::get<QByteArray>(argument).toPercentEncoding(" ") + '"';
    }
    return text;
}

QByteArrayList drain(ProtocolParser &parser)
{
    QByteArrayList commands;
    while (parser.hasCommands())
        commands << describe(parser.popCommand());
    return commands;
}

// What one way of feeding an input produced.
struct Outcome
{
    QByteArrayList commands;
    bool anyError = false;
    QString lastMessage;
};

// Feeds the input in chunks that end at the given cut positions.
Outcome feedInChunks(const QByteArray &input, const QVector<int> &cuts)
{
    ProtocolParser parser;
    Outcome outcome;
    int from = 0;
    QVector<int> ends = cuts;
    ends << input.size();
    for (const int to : ends) {
        parser.feed(input.constData() + from, to - from);
        if (parser.error()) {
            outcome.anyError = true;
            outcome.lastMessage = parser.errorMessage();
        }
        from = to;
    }
    outcome.commands = drain(parser);
    return outcome;
}

QByteArray bytes(int count, char first = 'a')
{
    QByteArray data(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i)
        data[i] = char(first + i % 23);
    return data;
}

const QString kSyntax = QStringLiteral("Syntax error");
const QString kOverflow = QStringLiteral("Integer overflow (64-bit unsigned)");
const QString kTooLong = QStringLiteral("Maximum data chunk len is 262144");

} // namespace

class TestProtocolParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void payloadLimits_data();
    void payloadLimits();
    void errorLineIsEmptyWhenTheChunkEndsInsideTheBadLine();
    void lengthErrorStopsTheReaderForGood();
    void errorLineIsCapped();
    void errorStateIsClearedByTheNextFeed();
    void tokenAndPayloadAcrossChunks();
    void bufferHoldsAtMostOnePayload();
    void popOnEmptyQueue();
};

void TestProtocolParser::parse_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArrayList>("commands");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");

    const QString none;
    auto ok = [&](const char *name, const QByteArray &input, const QByteArrayList &commands) {
        QTest::newRow(name) << input << commands << none << QByteArray();
    };
    auto bad = [&](const char *name, const QByteArray &input, const QByteArrayList &commands,
                   const QString &message, const QByteArray &line) {
        QTest::newRow(name) << input << commands << message << line;
    };

    // Every command the reader accepts, in each of its forms.
    ok("begin session", "BEGIN_SESSION\n", {"BEGIN_SESSION"});
    ok("begin session id", "BEGIN_SESSION: 77\n", {"BEGIN_SESSION 77"});
    ok("closed", "CLOSED: 5\n", {"CLOSED 5"});
    ok("connect to", "CONNECT_TO: 42 POP3 1234\n", {"CONNECT_TO 42 \"POP3\" 1234"});
    ok("connect to no request", "CONNECT_TO: 42 POP3\n", {"CONNECT_TO 42 \"POP3\""});
    ok("connected", "CONNECTED: 7 SMTP 9\n", {"CONNECTED 7 \"SMTP\" 9"});
    ok("connected no request", "CONNECTED: 7 SMTP\n", {"CONNECTED 7 \"SMTP\""});
    ok("connection ok", "CONNECTION: 7 OK\n", {"CONNECTION 7 OK"});
    ok("connection fail", "CONNECTION: 7 FAIL\n", {"CONNECTION 7 FAIL"});
    ok("data", QByteArray("DATA: 3 5\nab\ncd"), {"DATA 3 \"ab%0Acd\""});
    ok("disconnect", "DISCONNECT: 3\n", {"DISCONNECT 3"});
    ok("disconnected", "DISCONNECTED: 3\n", {"DISCONNECTED 3"});
    ok("error", "ERROR: 0 4\noops", {"ERROR 0 \"oops\""});
    ok("fail with request", "FAIL: 4 77\nabcd", {"FAIL 77 \"abcd\""});
    ok("fail", "FAIL: 4\nabcd", {"FAIL \"abcd\""});
    ok("hello", "HELLO: 2\n", {"HELLO 2"});
    ok("keep alive", "KEEP_ALIVE\n", {"KEEP_ALIVE"});
    ok("keep", "KEEP\n", {"KEEP"});
    ok("ok", "OK\n", {"OK"});
    ok("ok a", "OK: 7\n", {"OK 7"});
    ok("ok a b", "OK: 7 9\n", {"OK 7 9"});
    ok("peer error", "PEER_ERROR: 12 3\nbad", {"PEER_ERROR 12 \"bad\""});
    ok("quit", "QUIT\n", {"QUIT"});
    ok("trans ok", "TRANS: 3 OK\n", {"TRANS 3 OK"});
    ok("trans fail", "TRANS: 3 FAIL\n", {"TRANS 3 FAIL"});
    ok("watch", "WATCH: 8\n", {"WATCH 8"});

    // Blanks, empty lines, numbers and tokens.
    ok("three blanks after colon", "HELLO:   2\n", {"HELLO 2"});
    ok("several blanks between arguments", "OK: 7   9\n", {"OK 7 9"});
    ok("empty lines skipped", "\n\nQUIT\n", {"QUIT"});
    ok("leading zeros", "WATCH: 007\n", {"WATCH 7"});
    ok("largest number", "WATCH: 18446744073709551615\n", {"WATCH 18446744073709551615"});
    ok("token of digits", "CONNECT_TO: 1 110 2\n", {"CONNECT_TO 1 \"110\" 2"});
    ok("token of 64 bytes", "CONNECT_TO: 1 " + QByteArray(64, 'x') + "\n",
       {"CONNECT_TO 1 \"" + QByteArray(64, 'x') + "\""});
    ok("payload holding a command", "DATA: 1 5\nQUIT\nKEEP\n", {"DATA 1 \"QUIT%0A\"", "KEEP"});
    ok("zero length payload", "DATA: 3 0\nQUIT\n", {"DATA 3 \"\"", "QUIT"});
    ok("zero length fail", "FAIL: 0 5\nKEEP\n", {"FAIL 5 \"\"", "KEEP"});
    ok("several commands", "HELLO: 2\nOK\nDATA: 1 2\nhiTRANS: 1 OK\nQUIT\n",
       {"HELLO 2", "OK", "DATA 1 \"hi\"", "TRANS 1 OK", "QUIT"});

    // Malformed input.
    bad("no blank after colon", "HELLO:2\n", {}, kSyntax, "HELLO:2");
    bad("lower case name", "hello: 2\n", {}, kSyntax, "hello: 2");
    bad("blank before lf", "HELLO: 2 \n", {}, kSyntax, "HELLO: 2 ");
    bad("cr before lf", "HELLO: 2\r\n", {}, kSyntax, "HELLO: 2\r");
    bad("tab", "OK:\t7\n", {}, kSyntax, "OK:\t7");
    bad("dash in token", "CONNECT_TO: 42 PO-P3\n", {}, kSyntax, "CONNECT_TO: 42 PO-P3");
    bad("underscore in token", "CONNECT_TO: 42 PO_P3\n", {}, kSyntax, "CONNECT_TO: 42 PO_P3");
    bad("token of 65 bytes", "CONNECT_TO: 1 " + QByteArray(65, 'x') + " 2\nQUIT\n", {"QUIT"},
        kSyntax, "CONNECT_TO: 1 " + QByteArray(65, 'x') + " 2");
    bad("number too large", "WATCH: 18446744073709551616\n", {}, kOverflow,
        "WATCH: 18446744073709551616");
    bad("number far too large", "WATCH: 99999999999999999999999\nQUIT\n", {"QUIT"}, kOverflow,
        "WATCH: 99999999999999999999999");
    bad("unknown then quit", "HELP\nQUIT\n", {"QUIT"}, kSyntax, "HELP");
    bad("quit then unknown", "QUIT\nXYZ\n", {"QUIT"}, kSyntax, "QUIT\nXYZ");
    bad("code", "CODE: 1\n", {}, kSyntax, "CODE: 1");
    bad("get clients", "GET_CLIENTS\n", {}, kSyntax, "GET_CLIENTS");
    bad("get connections", "GET_CONNECTIONS\nKEEP\n", {"KEEP"}, kSyntax, "GET_CONNECTIONS");
    bad("keep with arguments", "KEEP: 1\n", {}, kSyntax, "KEEP: 1");
    bad("quit with colon", "QUIT:\n", {}, kSyntax, "QUIT:");
    bad("closed without arguments", "CLOSED\n", {}, kSyntax, "CLOSED");
    bad("colon without arguments", "OK:\n", {}, kSyntax, "OK:");
    bad("blank without arguments", "OK: \n", {}, kSyntax, "OK: ");
    bad("too many arguments", "OK: 1 2 3\n", {}, kSyntax, "OK: 1 2 3");
    bad("too few arguments", "CONNECT_TO: 42\n", {}, kSyntax, "CONNECT_TO: 42");
    bad("data without length", "DATA: 3\nab", {}, kSyntax, "DATA: 3");
    bad("flag lower case", "TRANS: 1 ok\n", {}, kSyntax, "TRANS: 1 ok");
    bad("flag cut short", "TRANS: 1 FAI\n", {}, kSyntax, "TRANS: 1 FAI");
    bad("flag too long", "TRANS: 1 OKAY\n", {}, kSyntax, "TRANS: 1 OKAY");
    bad("blank after flag", "TRANS: 1 OK \n", {}, kSyntax, "TRANS: 1 OK ");
    bad("letter in number", "WATCH: 1x\n", {}, kSyntax, "WATCH: 1x");
    bad("name prefix only", "CONNECT: 1\n", {}, kSyntax, "CONNECT: 1");
    bad("empty line marks the line", "QUIT\n\nXYZ\n", {"QUIT"}, kSyntax, "\nXYZ");
    bad("commands around an error", "KEEP\nHELLO:1\nQUIT\n", {"KEEP", "QUIT"}, kSyntax, "HELLO:1");
    bad("last of several errors", "XX\nQUIT\nWATCH: 99999999999999999999\nHELP\nKEEP\n",
        {"QUIT", "KEEP"}, kSyntax, "HELP");
    bad("error without lf", "QUIT\nHELLO: x", {"QUIT"}, kSyntax, QByteArray());
    bad("length over the limit", "DATA: 1 262145\nQUIT\n", {}, kTooLong, QByteArray());
    bad("fail length over the limit", "QUIT\nFAIL: 262145 7\nKEEP\n", {"QUIT"}, kTooLong,
        QByteArray());
}

void TestProtocolParser::parse()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArrayList, commands);
    QFETCH(QString, message);
    QFETCH(QByteArray, line);

    // Whole.
    ProtocolParser parser;
    parser.feed(input);
    QCOMPARE(parser.error(), !message.isEmpty());
    QCOMPARE(parser.errorMessage(), message);
    QCOMPARE(parser.errorLine(), line);
    QCOMPARE(drain(parser), commands);

    // Byte by byte.
    QVector<int> everyByte;
    for (int i = 1; i < input.size(); ++i)
        everyByte << i;
    Outcome single = feedInChunks(input, everyByte);
    QCOMPARE(single.commands, commands);
    QCOMPARE(single.anyError, !message.isEmpty());
    QCOMPARE(single.lastMessage, message);

    // Split in two at every position.
    for (int cut = 0; cut <= input.size(); ++cut) {
        Outcome split = feedInChunks(input, {cut});
        QVERIFY2(split.commands == commands, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QCOMPARE(split.anyError, !message.isEmpty());
        QCOMPARE(split.lastMessage, message);
    }
}

void TestProtocolParser::payloadLimits_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");
    for (const char *name : {"DATA: 1", "ERROR: 1", "PEER_ERROR: 1", "FAIL:"}) {
        QTest::addRow("%s 262144", name) << QByteArray(name) << 262144 << true;
        QTest::addRow("%s 262145", name) << QByteArray(name) << 262145 << false;
    }
}

void TestProtocolParser::payloadLimits()
{
    QFETCH(QByteArray, name);
    QFETCH(int, length);
    QFETCH(bool, accepted);

    const QByteArray payload = bytes(length);
    const QByteArray input = name + ' ' + QByteArray::number(length) + '\n' + payload + "QUIT\n";
    const QByteArray expectedPayload = accepted ? payload : QByteArray();

    // Whole, byte by byte, and split at positions around the header and through the payload.
    QVector<QVector<int>> feeds = {{}};
    QVector<int> everyByte;
    for (int i = 1; i < input.size(); ++i)
        everyByte << i;
    feeds << everyByte;
    for (int cut = 1; cut < 40; ++cut)
        feeds << QVector<int>{cut};
    for (int cut = 40; cut < input.size(); cut += 4099)
        feeds << QVector<int>{cut, qMin(cut + 1, input.size())};

    for (const QVector<int> &cuts : feeds) {
        ProtocolParser parser;
        int from = 0;
        bool anyError = false;
        QVector<int> ends = cuts;
        ends << input.size();
        for (const int to : ends) {
            parser.feed(input.constData() + from, to - from);
            if (parser.error()) {
                anyError = true;
                QCOMPARE(parser.errorMessage(), kTooLong);
                QCOMPARE(parser.errorLine(), QByteArray());
            }
            from = to;
        }
        QCOMPARE(anyError, !accepted);
        if (accepted) {
            QVERIFY(parser.hasCommands());
            const Command command = parser.popCommand();
            QCOMPARE(command.type(), name.startsWith("PEER")    ? CommandType::PEER_ERROR
                                     : name.startsWith("FAIL")  ? CommandType::FAIL
                                     : name.startsWith("ERROR") ? CommandType::ERROR
                                                                : CommandType::DATA);
            QVERIFY(command.arguments().last() == Command::Argument(expectedPayload));
            QCOMPARE(describe(parser.popCommand()), QByteArray("QUIT"));
        }
        QVERIFY(!parser.hasCommands());
    }
}

void TestProtocolParser::errorLineIsEmptyWhenTheChunkEndsInsideTheBadLine()
{
    ProtocolParser parser;
    parser.feed(QByteArray("QUIT\nHELP"));
    QVERIFY(parser.error());
    QCOMPARE(parser.errorMessage(), kSyntax);
    QCOMPARE(parser.errorLine(), QByteArray());

    // The rest of the bad line is skipped; the next command reads normally.
    parser.feed(QByteArray(" me\nKEEP\n"));
    QVERIFY(!parser.error());
    QCOMPARE(drain(parser), QByteArrayList({"QUIT", "KEEP"}));
}

void TestProtocolParser::lengthErrorStopsTheReaderForGood()
{
    ProtocolParser parser;
    parser.feed(QByteArray("KEEP\nDATA: 1 300000\n"));
    QVERIFY(parser.error());
    QCOMPARE(parser.errorMessage(), kTooLong);
    parser.feed(QByteArray("QUIT\n"));
    QVERIFY(parser.error());
    QCOMPARE(parser.errorMessage(), kTooLong);
    QCOMPARE(parser.errorLine(), QByteArray());
    QCOMPARE(drain(parser), QByteArrayList({"KEEP"}));
    QCOMPARE(parser.bufferedBytes(), 0);
}

void TestProtocolParser::errorLineIsCapped()
{
    ProtocolParser parser;
    const QByteArray line = "HELLO: " + QByteArray(5000, '1') + "x";
    parser.feed(line + "\nQUIT\n");
    QVERIFY(parser.error());
    QCOMPARE(parser.errorLine(), line.left(ProtocolParser::kMaxErrorLineLength));
    QCOMPARE(drain(parser), QByteArrayList({"QUIT"}));
}

void TestProtocolParser::errorStateIsClearedByTheNextFeed()
{
    ProtocolParser parser;
    parser.feed(QByteArray("HELP\n"));
    QVERIFY(parser.error());
    parser.feed(QByteArray("QUIT\n"));
    QVERIFY(!parser.error());
    QVERIFY(parser.errorMessage().isEmpty());
    QVERIFY(parser.errorLine().isEmpty());
    QCOMPARE(drain(parser), QByteArrayList({"QUIT"}));
}

void TestProtocolParser::tokenAndPayloadAcrossChunks()
{
    ProtocolParser parser;
    parser.feed(QByteArray("CONNECT_TO: 1 PO"));
    parser.feed(QByteArray("P"));
    parser.feed(QByteArray("3 2\nDATA: 9 6\nab"));
    QCOMPARE(drain(parser), QByteArrayList({"CONNECT_TO 1 \"POP3\" 2"}));
    parser.feed(QByteArray("cd"));
    QVERIFY(!parser.hasCommands());
    parser.feed(QByteArray("efKEEP"));
    QCOMPARE(drain(parser), QByteArrayList({"DATA 9 \"abcdef\""}));
    parser.feed(QByteArray("\n"));
    QCOMPARE(drain(parser), QByteArrayList({"KEEP"}));
    QVERIFY(!parser.error());
}

void TestProtocolParser::bufferHoldsAtMostOnePayload()
{
    ProtocolParser parser;
    parser.feed(QByteArray("DATA: 1 262144\n") + bytes(1000));
    QVERIFY(parser.bufferedBytes() >= 1000);
    QVERIFY(parser.bufferedBytes() <= Command::kMaxPayloadLength + 64);
    parser.feed(bytes(262144 - 1000));
    QVERIFY(parser.hasCommands());
    QCOMPARE(parser.popCommand().arg<QByteArray>(1).size(), 262144);
    QCOMPARE(parser.bufferedBytes(), 0);

    // An endless token is cut off at its limit; nothing accumulates.
    for (int i = 0; i < 100; ++i)
        parser.feed(i == 0 ? QByteArray("CONNECT_TO: 1 ") : QByteArray(1000, 'x'));
    QVERIFY(parser.bufferedBytes() <= Command::kMaxTokenLength + 64);
    parser.feed(QByteArray("\nQUIT\n"));
    QCOMPARE(drain(parser), QByteArrayList({"QUIT"}));
}

void TestProtocolParser::popOnEmptyQueue()
{
    ProtocolParser parser;
    QVERIFY(!parser.hasCommands());
    const Command command = parser.popCommand();
    QCOMPARE(command.type(), CommandType::CODE);
    QCOMPARE(command.argumentCount(), 0);
}

TOLVANE_TEST_MAIN(TestProtocolParser)
#include "tst_protocolparser.moc"
