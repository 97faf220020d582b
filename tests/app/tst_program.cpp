#include "support/certificatefactory.h"
#include "support/programrunner.h"
#include "support/registrystandin.h"
#include "support/testmain.h"

#include <csignal>

using TestSupport::ProgramRunner;

class TestProgram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startsLogsAndStopsOnSignals_data()
    {
        QTest::addColumn<QList<int>>("toSend");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("SIGTERM then SIGINT") << QList<int>{SIGTERM, SIGINT} << QStringList();
        QTest::newRow("SIGINT") << QList<int>{SIGINT} << QStringList{QStringLiteral("--MAXIMIZED")};
        QTest::newRow("SIGTERM three times")
            << QList<int>{SIGTERM, SIGTERM, SIGTERM} << QStringList{QStringLiteral("-rx")};
    }
    void startsLogsAndStopsOnSignals()
    {
        QFETCH(QList<int>, toSend);
        QFETCH(QStringList, arguments);
        ProgramRunner program;
        QVERIFY(program.start(arguments));
        QVERIFY2(program.waitForLog(QStringLiteral("Storage location: ")),
                 program.standardError().constData());
        QVERIFY(program.logText().contains(program.dataLocation()));
        // The window and its tray icon are up once the update query goes out.
        QVERIFY(program.waitForLog(QStringLiteral("/checkupdate.php")));

        for (int signal : toSend)
            program.sendSignal(signal);
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process().exitCode(), 0);
        QCOMPARE(program.logText().count(QStringLiteral("[ TolvaneMailConnect ] Terminated")), 1);
        QVERIFY(program.logText().contains(QStringLiteral(": INFO ")));
    }

    void helpPagesAreWritten()
    {
        ProgramRunner program;
        QVERIFY(program.start());
        QVERIFY(program.waitForLog(QStringLiteral("Ready (generating help)")));
        QVERIFY(QFile::exists(program.dataLocation() + QStringLiteral("/help_new/index.html")));
        program.sendSignal(SIGTERM);
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.process().exitCode(), 0);
    }

    void reportsTheInstallationOnce()
    {
        // The main window sends the report; the registry is named in "config.cfg".
        TestSupport::RegistryStandIn registry;
        registry.setDefaultAnswer(TestSupport::RegistryAnswer::reply("OK\r\n"));
        QVERIFY(registry.start());
        ProgramRunner program;
        const QString folder = program.useOwnCopy();
        QVERIFY(!TestSupport::CertificateFactory::writeRegistryConfig(folder, registry.port())
                     .isEmpty());
        QVERIFY(program.start());
        const QString path =
            program.home() + QStringLiteral("/.config/Tolvane/TolvaneMailConnect.conf");
        QTRY_VERIFY_WITH_TIMEOUT(QSettings(path, QSettings::IniFormat).contains("LastUpdated"),
                                 30000);
        program.sendSignal(SIGTERM);
        QVERIFY(program.waitForFinished());
        const QByteArray id =
            QSettings(path, QSettings::IniFormat).value("ApplicationUUID").toByteArray();
        QCOMPARE(id.size(), 36);
        QCOMPARE(registry.requests(),
                 QByteArrayList{"STAT_DEVICE: UID=" + id + ",DEVICE_TYPE=connect\r\n"});
    }

    void logLevelsFileIsApplied()
    {
        // With the root at ERROR from "log.cfg" beside the program, debug lines stay out.
        ProgramRunner program;
        const QString folder = program.useOwnCopy();
        QVERIFY(!folder.isEmpty());
        QFile file(folder + QStringLiteral("/log.cfg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("ROOT = ERROR\nmain = INFO # the terminate line is INFO\n");
        file.close();
        QVERIFY(program.start());
        QTRY_VERIFY_WITH_TIMEOUT(program.standardOutput().contains("Setting Logger(main) to INFO"),
                                 30000);
        program.sendSignal(SIGTERM);
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.process().exitCode(), 0);
        QVERIFY(program.logText().contains(QStringLiteral("[ TolvaneMailConnect ] Terminated")));
        QVERIFY(!program.logText().contains(QStringLiteral("Storage location: ")));
    }
};

TOLVANE_TEST_MAIN(TestProgram)
#include "tst_program.moc"
