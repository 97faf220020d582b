#include "relay/v2/protocolparser.h"
#include "support/testmain.h"

#include <QBuffer>
#include <QtTest>

using Relay::V2::Command;
using Relay::V2::CommandType;
using Relay::V2::ProtocolParser;

namespace {

// A command as text: the name, then each argument (numbers in decimal, flags as OK/FAIL, byte
// strings percent-encoded in double quotes).
QByteArray describe(const Command &command)
{
    QByteArray text = Command::toStr(command.type());
    for (const Command::Argument &argument : command.arguments()) {
        if (const quint64 *number = std::get_if<quint64>(&argument))
            text += ' ' + QByteArray::number(*number);
        else if (const bool *flag = std::get_if<bool>(&argument))
            text += *flag ? " OK" : " FAIL";
        else
            text += " \"" + std::get<QByteArray>(argument).toPercentEncoding(" ") + '"';
    }
    return text;
}

// The writer's form of a command read from the wire: the payload length put back in its place.
Command writerForm(const Command &read)
{
    Command::Arguments arguments = read.arguments();
    if (Command::hasPayload(read.type())) {
        const quint64 length = quint64(std::get<QByteArray>(arguments.last()).size());
        arguments.insert(read.type() == CommandType::FAIL ? 0 : arguments.size() - 1, length);
    }
    return Command(read.type(), arguments);
}

struct Outcome
{
    QByteArrayList commands;
    QString message; // of the last feed that met an error
    QByteArray line;
};

// Feeds the input in chunks ending at the given cuts.
Outcome feed(const QByteArray &input, QVector<int> cuts = {})
{
    ProtocolParser parser;
    Outcome outcome;
    int from = 0;
    cuts << input.size();
    for (const int to : qAsConst(cuts)) {
        parser.feed(input.constData() + from, to - from);
        if (parser.error()) {
            outcome.message = parser.errorMessage();
            outcome.line = parser.errorLine();
        }
        from = to;
    }
    while (parser.hasCommands())
        outcome.commands << describe(parser.popCommand());
    return outcome;
}

const QString kSyntax = QStringLiteral("Syntax error");
const QString kOverflow = QStringLiteral("Integer overflow (64-bit unsigned)");
const QString kTooLong = QStringLiteral("Maximum data chunk len is 262144");

} // namespace

// Relay V2 wire format: the writer and the reader, byte for byte.
class TestWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArrayList>("commands");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("canonical"); // written back byte for byte
        auto ok = [](const QByteArray &input, const QByteArrayList &commands,
                     bool canonical = true) {
            QTest::newRow(QByteArray(input.left(40)).replace('\n', "\\n").constData())
                << input << commands << QString() << QByteArray() << canonical;
        };
        auto bad = [](const QByteArray &input, const QByteArrayList &commands,
                      const QString &message, const QByteArray &line) {
            QTest::newRow(QByteArray(input.left(40)).replace('\n', "\\n").constData())
                << input << commands << message << line << false;
        };
        ok("BEGIN_SESSION\n", {"BEGIN_SESSION"});
        ok("BEGIN_SESSION: 77\n", {"BEGIN_SESSION 77"});
        ok("CLOSED: 18446744073709551615\n", {"CLOSED 18446744073709551615"});
        ok("CONNECT_TO: 42 POP3 1234\n", {"CONNECT_TO 42 \"POP3\" 1234"});
        ok("CONNECT_TO: 42 SMTP\n", {"CONNECT_TO 42 \"SMTP\""});
        ok("CONNECTED: 7 PMTP 9\n", {"CONNECTED 7 \"PMTP\" 9"});
        ok("CONNECTION: 7 OK\n", {"CONNECTION 7 OK"});
        ok("DATA: 3 5\nab\ncd", {"DATA 3 \"ab%0Acd\""});
        ok("DATA: 3 0\n", {"DATA 3 \"\""});
        ok("DISCONNECT: 3\n", {"DISCONNECT 3"});
        ok("DISCONNECTED: 3\n", {"DISCONNECTED 3"});
        ok("ERROR: 0 4\noops", {"ERROR 0 \"oops\""});
        ok("FAIL: 4 77\nabcd", {"FAIL 77 \"abcd\""});
        ok("FAIL: 4\nabcd", {"FAIL \"abcd\""});
        ok("HELLO: 2\n", {"HELLO 2"});
        ok("KEEP_ALIVE\n", {"KEEP_ALIVE"});
        ok("KEEP\n", {"KEEP"});
        ok("OK\n", {"OK"});
        ok("OK: 7 9\n", {"OK 7 9"});
        ok("PEER_ERROR: 12 2\n\xc3\xa9", {"PEER_ERROR 12 \"%C3%A9\""});
        ok("QUIT\n", {"QUIT"});
        ok("TRANS: 3 OK\n", {"TRANS 3 OK"});
        ok("TRANS: 3 FAIL\n", {"TRANS 3 FAIL"});
        ok("WATCH: 0\n", {"WATCH 0"});
        ok("CONNECT_TO: 1 " + QByteArray(64, 'x') + " 2\n",
           {"CONNECT_TO 1 \"" + QByteArray(64, 'x') + "\" 2"});
        ok("HELLO:   2\n", {"HELLO 2"}, false);
        ok("\n\nQUIT\n", {"QUIT"}, false);
        ok("DATA: 1 5\nQUIT\nKEEP\n", {"DATA 1 \"QUIT%0A\"", "KEEP"}, false);
        ok("FAIL: 0 5\nKEEP\n", {"FAIL 5 \"\"", "KEEP"}, false);
        const QByteArray largest(Command::kMaxPayloadLength, '\n');
        ok("PEER_ERROR: 1 262144\n" + largest,
           {"PEER_ERROR 1 \"" + largest.toPercentEncoding(" ") + '"'});
        bad("QUIT\nDATA: 1 262145\n" + largest + "KEEP\n", {"QUIT"}, kTooLong, QByteArray());
        bad("HELLO:2\n", {}, kSyntax, "HELLO:2");
        bad("HELLO: 2 \n", {}, kSyntax, "HELLO: 2 ");
        bad("HELLO: 2\r\n", {}, kSyntax, "HELLO: 2\r");
        bad("CONNECT_TO: 42 PO-P3\n", {}, kSyntax, "CONNECT_TO: 42 PO-P3");
        bad("CONNECT_TO: 1 " + QByteArray(65, 'x') + " 2\nQUIT\n", {"QUIT"}, kSyntax,
            "CONNECT_TO: 1 " + QByteArray(65, 'x') + " 2");
        bad("WATCH: 18446744073709551616\n", {}, kOverflow, "WATCH: 18446744073709551616");
        bad("HELP\nQUIT\n", {"QUIT"}, kSyntax, "HELP");
        bad("QUIT\nXYZ\n", {"QUIT"}, kSyntax, "QUIT\nXYZ");
        bad("GET_CLIENTS\n", {}, kSyntax, "GET_CLIENTS");
        bad("OK: 1 2 3\n", {}, kSyntax, "OK: 1 2 3");
        bad("CONNECT_TO: 42\n", {}, kSyntax, "CONNECT_TO: 42");
        bad("DATA: 3\nab", {}, kSyntax, "DATA: 3");
        bad("TRANS: 1 OKAY\n", {}, kSyntax, "TRANS: 1 OKAY");
        bad("QUIT\n\nXYZ\n", {"QUIT"}, kSyntax, "\nXYZ");
        bad("XX\nQUIT\nWATCH: 99999999999999999999\nHELP\nKEEP\n", {"QUIT", "KEEP"}, kSyntax,
            "HELP");
        bad("QUIT\nHELLO: x", {"QUIT"}, kSyntax, QByteArray());
        bad("HELLO: " + QByteArray(5000, '1') + "x\nQUIT\n", {"QUIT"}, kOverflow,
            "HELLO: " + QByteArray(ProtocolParser::kMaxErrorLineLength - 7, '1'));
        bad("QUIT\nFAIL: 262145 7\nKEEP\n", {"QUIT"}, kTooLong, QByteArray()); // and stops
    }

    void parse()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArrayList, commands);
        QFETCH(QString, message);
        QFETCH(QByteArray, line);
        QFETCH(bool, canonical);
        const Outcome whole = feed(input);
        QCOMPARE(whole.commands, commands);
        QCOMPARE(whole.message, message);
        QCOMPARE(whole.line, line);
        for (int cut = 0; cut <= input.size(); cut += input.size() > 1000 ? 4099 : 1) {
            const Outcome split = feed(input, {cut});
            QVERIFY2(split.commands == commands, qPrintable(QString::number(cut)));
            QCOMPARE(split.message.isEmpty(), message.isEmpty());
        }
        if (!canonical)
            return;
        // Written back byte for byte.
        ProtocolParser parser;
        parser.feed(input);
        const Command command = writerForm(parser.popCommand());
        QBuffer device;
        device.open(QIODevice::WriteOnly);
        QVERIFY(command.serialize(&device));
        QCOMPARE(device.data(), input);
        QCOMPARE(command.toWire(), input);
    }

    void writerRefusesWhatAPeerCouldNotRead()
    {
        using A = Command::Arguments;
        const CommandType to = CommandType::CONNECT_TO;
        for (const Command &command :
             {Command(CommandType::DATA, A{quint64(1), quint64(4), QByteArray("abc")}),
              Command(CommandType::DATA, A{quint64(1), quint64(3)}),
              Command(to, A{quint64(1), QByteArray("PO P3")}),
              Command(to, A{quint64(1), QByteArray()}),
              Command(to, A{quint64(1), QByteArray(65, 'x')}),
              Command(CommandType::DATA,
                      A{quint64(1), quint64(262145), QByteArray(262145, 'x')})}) {
            QBuffer device;
            device.open(QIODevice::WriteOnly);
            QVERIFY(!command.serialize(&device));
            QCOMPARE(device.data(), QByteArray());
        }
    }
};

TOLVANE_TEST_MAIN(TestWire)
#include "tst_wire.moc"
