#include "app/startup.h"
#include "homebridge/relayconnectionhelper.h"
#include "support/testmain.h"

#include <QtTest>

using Finder = Relay::RelayConnectionHelper;

class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void forceRelaySwitch_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("forceRelay");
        const QString program = QStringLiteral("/usr/bin/TolvaneMailConnect");
        QTest::newRow("none") << QStringList{program, "--maximized"} << false;
        QTest::newRow("-R, in place of the program path") << QStringList{"-R"} << true;
        QTest::newRow("-r, twice") << QStringList{program, "-r", "-r"} << true;
        QTest::newRow("other text") << QStringList{program, "-rr", " -r", "r"} << false;
    }

    void forceRelaySwitch()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, forceRelay);
        Finder::setForceRelay(false);
        applyForceRelaySwitch(arguments);
        QCOMPARE(Finder::isForceRelay(), forceRelay);
    }
};

TOLVANE_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
