#include "relay/v2/command.h"
#include "relay/v2/protocolparser.h"
#include "support/testmain.h"

#include <QBuffer>
#include <QtTest>

using Relay::V2::Command;
using Relay::V2::CommandType;
using Relay::V2::ProtocolParser;

Q_DECLARE_METATYPE(Relay::V2::Command)

namespace {

// Records every write as one entry, so the number and cut of writes can be checked.
class WriteRecorder : public QIODevice
{
public:
    WriteRecorder() { open(QIODevice::WriteOnly); }
    QByteArrayList writes;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        writes << QByteArray(data, int(length));
        return length;
    }
};

QByteArray payload(int count)
{
    QByteArray data(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i)
        data[i] = char(i * 7 + 3);
    return data;
}

} // namespace

class TestCommand : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void names_data();
    void names();
    void roundTrip_data();
    void roundTrip();
    void refusesWhatAPeerCouldNotRead_data();
    void refusesWhatAPeerCouldNotRead();
    void argumentAccess();
};

void TestCommand::names_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("name");
    const char *names[] = {"BEGIN_SESSION",
                           "CLOSED",
                           "CODE",
                           "CONNECT_TO",
                           "CONNECTED",
                           "CONNECTION",
                           "DATA",
                           "DISCONNECT",
                           "DISCONNECTED",
                           "ERROR",
                           "FAIL",
                           "GET_CLIENTS",
                           "GET_CONNECTIONS",
                           "HELLO",
                           "KEEP_ALIVE",
                           "KEEP",
                           "OK",
                           "PEER_ERROR",
                           "QUIT",
                           "TRANS",
                           "WATCH"};
    for (int type = 0; type <= 20; ++type)
        QTest::newRow(names[type]) << type << QByteArray(names[type]);
}

void TestCommand::names()
{
    QFETCH(int, type);
    QFETCH(QByteArray, name);
    QCOMPARE(QByteArray(Command::toStr(CommandType(type))), name);
}

void TestCommand::roundTrip_data()
{
    QTest::addColumn<Command>("written");
    QTest::addColumn<QByteArrayList>("wire");
    QTest::addColumn<Command>("read");

    using C = CommandType;
    using A = Command::Arguments;
    const QByteArray big = payload(262144);
    const quint64 max = std::numeric_limits<quint64>::max();

    auto row = [](const char *name, const Command &written, const QByteArrayList &wire,
                  const Command &read) { QTest::newRow(name) << written << wire << read; };

    row("begin session", Command(C::BEGIN_SESSION), {"BEGIN_SESSION\n"}, Command(C::BEGIN_SESSION));
    row("begin session id", Command(C::BEGIN_SESSION, A{quint64(77)}), {"BEGIN_SESSION: 77\n"},
        Command(C::BEGIN_SESSION, A{quint64(77)}));
    row("closed", Command(C::CLOSED, A{max}), {"CLOSED: 18446744073709551615\n"},
        Command(C::CLOSED, A{max}));
    row("connect to", Command(C::CONNECT_TO, A{quint64(42), QByteArray("POP3"), quint64(1234)}),
        {"CONNECT_TO: 42 POP3 1234\n"},
        Command(C::CONNECT_TO, A{quint64(42), QByteArray("POP3"), quint64(1234)}));
    row("connect to no request", Command(C::CONNECT_TO, A{quint64(42), QByteArray("SMTP")}),
        {"CONNECT_TO: 42 SMTP\n"}, Command(C::CONNECT_TO, A{quint64(42), QByteArray("SMTP")}));
    row("connected", Command(C::CONNECTED, A{quint64(1), QByteArray("PMTP"), quint64(0)}),
        {"CONNECTED: 1 PMTP 0\n"},
        Command(C::CONNECTED, A{quint64(1), QByteArray("PMTP"), quint64(0)}));
    row("connection ok", Command(C::CONNECTION, A{quint64(3), true}), {"CONNECTION: 3 OK\n"},
        Command(C::CONNECTION, A{quint64(3), true}));
    row("connection fail", Command(C::CONNECTION, A{quint64(3), false}), {"CONNECTION: 3 FAIL\n"},
        Command(C::CONNECTION, A{quint64(3), false}));
    row("data", Command(C::DATA, A{quint64(3), quint64(5), QByteArray("ab\ncd")}),
        {"DATA: 3 5\n", "ab\ncd"}, Command(C::DATA, A{quint64(3), QByteArray("ab\ncd")}));
    row("data largest", Command(C::DATA, A{quint64(3), quint64(big.size()), big}),
        {"DATA: 3 262144\n", big}, Command(C::DATA, A{quint64(3), big}));
    row("data empty", Command(C::DATA, A{quint64(3), quint64(0), QByteArray()}), {"DATA: 3 0\n"},
        Command(C::DATA, A{quint64(3), QByteArray()}));
    row("disconnect", Command(C::DISCONNECT, A{quint64(9)}), {"DISCONNECT: 9\n"},
        Command(C::DISCONNECT, A{quint64(9)}));
    row("disconnected", Command(C::DISCONNECTED, A{quint64(9)}), {"DISCONNECTED: 9\n"},
        Command(C::DISCONNECTED, A{quint64(9)}));
    row("error", Command(C::ERROR, A{quint64(0), quint64(12), QByteArray("Syntax error")}),
        {"ERROR: 0 12\n", "Syntax error"},
        Command(C::ERROR, A{quint64(0), QByteArray("Syntax error")}));
    row("fail with request", Command(C::FAIL, A{quint64(4), quint64(77), QByteArray("nope")}),
        {"FAIL: 4 77\n", "nope"}, Command(C::FAIL, A{quint64(77), QByteArray("nope")}));
    row("fail", Command(C::FAIL, A{quint64(4), QByteArray("nope")}), {"FAIL: 4\n", "nope"},
        Command(C::FAIL, A{QByteArray("nope")}));
    row("hello", Command(C::HELLO, A{quint64(2)}), {"HELLO: 2\n"},
        Command(C::HELLO, A{quint64(2)}));
    row("keep alive", Command(C::KEEP_ALIVE), {"KEEP_ALIVE\n"}, Command(C::KEEP_ALIVE));
    row("keep", Command(C::KEEP), {"KEEP\n"}, Command(C::KEEP));
    row("ok", Command(C::OK), {"OK\n"}, Command(C::OK));
    row("ok a", Command(C::OK, A{quint64(7)}), {"OK: 7\n"}, Command(C::OK, A{quint64(7)}));
    row("ok a b", Command(C::OK, A{quint64(7), quint64(9)}), {"OK: 7 9\n"},
        Command(C::OK, A{quint64(7), quint64(9)}));
    row("peer error", Command(C::PEER_ERROR, A{quint64(5), quint64(2), QByteArray("\xc3\xa9")}),
        {"PEER_ERROR: 5 2\n", "\xc3\xa9"},
        Command(C::PEER_ERROR, A{quint64(5), QByteArray("\xc3\xa9")}));
    row("quit", Command(C::QUIT), {"QUIT\n"}, Command(C::QUIT));
    row("trans ok", Command(C::TRANS, A{quint64(3), true}), {"TRANS: 3 OK\n"},
        Command(C::TRANS, A{quint64(3), true}));
    row("trans fail", Command(C::TRANS, A{quint64(3), false}), {"TRANS: 3 FAIL\n"},
        Command(C::TRANS, A{quint64(3), false}));
    row("watch", Command(C::WATCH, A{quint64(0)}), {"WATCH: 0\n"},
        Command(C::WATCH, A{quint64(0)}));
}

void TestCommand::roundTrip()
{
    QFETCH(Command, written);
    QFETCH(QByteArrayList, wire);
    QFETCH(Command, read);

    WriteRecorder device;
    QVERIFY(written.serialize(&device));
    QCOMPARE(device.writes.size(), wire.size());
    for (int i = 0; i < wire.size(); ++i)
        QVERIFY2(device.writes.at(i) == wire.at(i), qPrintable(QStringLiteral("write %1").arg(i)));
    QCOMPARE(written.toWire(), wire.join());

    ProtocolParser parser;
    parser.feed(wire.join());
    QVERIFY(!parser.error());
    QVERIFY(parser.hasCommands());
    const Command parsed = parser.popCommand();
    QCOMPARE(parsed.type(), read.type());
    QVERIFY(parsed == read);
    QVERIFY(!parser.hasCommands());
}

void TestCommand::refusesWhatAPeerCouldNotRead_data()
{
    QTest::addColumn<Command>("command");
    using C = CommandType;
    using A = Command::Arguments;
    const QByteArray tooBig = payload(262145);

    QTest::newRow("payload over the limit")
        << Command(C::DATA, A{quint64(1), quint64(tooBig.size()), tooBig});
    QTest::newRow("fail payload over the limit")
        << Command(C::FAIL, A{quint64(tooBig.size()), tooBig});
    QTest::newRow("length differs from payload")
        << Command(C::DATA, A{quint64(1), quint64(4), QByteArray("abc")});
    QTest::newRow("fail length differs")
        << Command(C::FAIL, A{quint64(2), quint64(7), QByteArray("abc")});
    QTest::newRow("payload missing") << Command(C::DATA, A{quint64(1), quint64(3)});
    QTest::newRow("length missing") << Command(C::ERROR, A{QByteArray("abc")});
    QTest::newRow("token with a blank")
        << Command(C::CONNECT_TO, A{quint64(1), QByteArray("PO P3"), quint64(2)});
    QTest::newRow("token with lf")
        << Command(C::CONNECT_TO, A{quint64(1), QByteArray("POP3\nQUIT"), quint64(2)});
    QTest::newRow("token with dash") << Command(C::CONNECT_TO, A{quint64(1), QByteArray("PO-P3")});
    QTest::newRow("empty token") << Command(C::CONNECT_TO, A{quint64(1), QByteArray()});
    QTest::newRow("token of 65 bytes")
        << Command(C::CONNECT_TO, A{quint64(1), QByteArray(65, 'x')});
}

void TestCommand::refusesWhatAPeerCouldNotRead()
{
    QFETCH(Command, command);
    WriteRecorder device;
    QVERIFY(!command.serialize(&device));
    QVERIFY(device.writes.isEmpty());
    QVERIFY(command.toWire().isEmpty());
    QVERIFY(!Command(CommandType::QUIT).serialize(nullptr));
}

void TestCommand::argumentAccess()
{
    const Command command(CommandType::CONNECT_TO, {quint64(42), QByteArray("POP3"), true});
    QCOMPARE(command.arg<quint64>(0), quint64(42));
    QCOMPARE(command.arg<QByteArray>(1), QByteArray("POP3"));
    QCOMPARE(command.arg<bool>(2), true);
    // Another kind or an index out of range gives the default value.
    QCOMPARE(command.arg<QByteArray>(0), QByteArray());
    QCOMPARE(command.arg<quint64>(1), quint64(0));
    QCOMPARE(command.arg<quint64>(3), quint64(0));
    QCOMPARE(command.arg<bool>(-1), false);

    // Commands are plain values.
    Command copy = command;
    QVERIFY(copy == command);
    copy = Command(CommandType::QUIT);
    QVERIFY(copy != command);
    QCOMPARE(command.argumentCount(), 3);
}

TOLVANE_TEST_MAIN(TestCommand)
#include "tst_command.moc"
