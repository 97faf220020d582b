#include "relay/v2/protocolparser.h"
#include "support/testmain.h"

#include <QtTest>

using Relay::V2::Command;
using Relay::V2::CommandType;
using Relay::V2::ProtocolParser;

namespace {

// The commands read so far, written back: the reader's form with the payload length put back.
QByteArray writtenBack(ProtocolParser &parser)
{
    QByteArray wire;
    while (parser.hasCommands()) {
        const Command read = parser.popCommand();
        Command::Arguments arguments = read.arguments();
        if (Command::hasPayload(read.type())) {
            const quint64 length = quint64(std::get<QByteArray>(arguments.last()).size());
            arguments.insert(read.type() == CommandType::FAIL ? 0 : arguments.size() - 1, length);
        }
        wire += Command(read.type(), arguments).toWire();
    }
    return wire;
}

const QString kSyntax = QStringLiteral("Syntax error");
const QString kOverflow = QStringLiteral("Integer overflow (64-bit unsigned)");
const QString kTooLong = QStringLiteral("Maximum data chunk len is 262144");

} // namespace

// Relay V2 wire format: the reader and the writer, byte for byte.
class TestWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("commands"); // read, then written back
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("line");
        const auto row = [](const QByteArray &input, const QByteArray &commands,
                            const QString &message = {}, const QByteArray &line = {}) {
            QTest::newRow(QByteArray(input.left(40)).replace('\n', "\\n").constData())
                << input << commands << message << line;
        };
        const auto same = [&](const QByteArray &input) { row(input, input); };
        same("BEGIN_SESSION\nBEGIN_SESSION: 77\nCLOSED: 18446744073709551615\nWATCH: 0\n");
        same("CONNECT_TO: 42 POP3 1234\nCONNECT_TO: 42 SMTP\nCONNECTED: 7 PMTP 9\n");
        same("CONNECTION: 7 OK\nTRANS: 3 OK\nTRANS: 3 FAIL\nHELLO: 2\nKEEP_ALIVE\nKEEP\nQUIT\n");
        same("DATA: 3 5\nab\ncdDATA: 3 0\nDISCONNECT: 3\nDISCONNECTED: 3\nOK\nOK: 7 9\n");
        same("ERROR: 0 4\noopsFAIL: 4 77\nabcdFAIL: 4\nabcdFAIL: 0 5\nPEER_ERROR: 12 2\n\xc3\xa9");
        same("CONNECT_TO: 1 " + QByteArray(64, 'x') + " 2\n");
        const QByteArray largest(Command::kMaxPayloadLength, '\n');
        same("PEER_ERROR: 1 262144\n" + largest);
        row("HELLO:   2\n\n\nQUIT\n", "HELLO: 2\nQUIT\n");
        row("QUIT\nDATA: 1 262145\n" + largest + "KEEP\n", "QUIT\n", kTooLong);
        row("QUIT\nFAIL: 262145 7\nKEEP\n", "QUIT\n", kTooLong);
        row("HELLO:2\n", "", kSyntax, "HELLO:2");
        row("HELLO: 2 \nHELLO: 2\r\n", "", kSyntax, "HELLO: 2\r");
        row("CONNECT_TO: 42 PO-P3\n", "", kSyntax, "CONNECT_TO: 42 PO-P3");
        row("CONNECT_TO: 1 " + QByteArray(65, 'x') + " 2\nQUIT\n", "QUIT\n", kSyntax,
            "CONNECT_TO: 1 " + QByteArray(65, 'x') + " 2");
        row("GET_CLIENTS\nOK: 1 2 3\nCONNECT_TO: 42\nDATA: 3\nab", "", kSyntax, "DATA: 3");
        row("WATCH: 18446744073709551616\n", "", kOverflow, "WATCH: 18446744073709551616");
        row("HELP\nQUIT\n", "QUIT\n", kSyntax, "HELP");
        row("QUIT\nXYZ\n", "QUIT\n", kSyntax, "QUIT\nXYZ");
        row("XX\nQUIT\nWATCH: 99999999999999999999\nHELP\nKEEP\n", "QUIT\nKEEP\n", kSyntax, "HELP");
        row("QUIT\nHELLO: x", "QUIT\n", kSyntax, "");
        row("HELLO: " + QByteArray(5000, '1') + "x\nQUIT\n", "QUIT\n", kOverflow,
            "HELLO: " + QByteArray(ProtocolParser::kMaxErrorLineLength - 7, '1'));
    }

    void parse()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, commands);
        QFETCH(QString, message);
        QFETCH(QByteArray, line);
        ProtocolParser whole;
        whole.feed(input);
        QCOMPARE(whole.errorMessage(), message);
        QCOMPARE(whole.errorLine(), line);
        QCOMPARE(writtenBack(whole), commands);
        for (int cut = 1; cut<input.size(); cut += input.size()> 1000 ? 4099 : 1) {
            ProtocolParser split;
            split.feed(input.left(cut));
            const bool failed = split.error();
            split.feed(input.mid(cut));
            QVERIFY2(writtenBack(split) == commands, qPrintable(QString::number(cut)));
            QCOMPARE(failed || split.error(), !message.isEmpty());
        }
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
              Command(CommandType::DATA, A{quint64(1), quint64(262145), QByteArray(262145, 'x')})})
            QCOMPARE(command.toWire(), QByteArray());
    }
};

TOLVANE_TEST_MAIN(TestWire)
#include "tst_wire.moc"
