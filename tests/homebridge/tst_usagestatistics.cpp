#include "homebridge/registryreply.h"
#include "homebridge/usagestatistics.h"
#include "log/logger.h"
#include "support/logcapture.h"
#include "support/registrystandin.h"
#include "support/testmain.h"

namespace {
const QDateTime kNow(QDate(2031, 5, 6), QTime(13, 14, 15), Qt::UTC);
const char kDailyId[] = "{daily}";

// The native settings the report starts from; an invalid id stores none.
void storeSettings(QSettings &settings, const QVariant &id, const QDateTime &lastUpdated)
{
    settings.clear();
    if (id.isValid())
        settings.setValue("ApplicationUUID", id);
    settings.setValue("LastUpdated", lastUpdated.toString(Qt::ISODate));
    settings.sync();
}
} // namespace

class TestUsageStatistics : public QObject
{
    Q_OBJECT
    TestSupport::RegistryStandIn m_registry;
    QDateTime m_clock; // what the report's clock reads in the daily tests
    int m_clockReads = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_registry.start() && m_registry.pointClientHere());
        Log::Logger("UsageStatistics").setLevel(Log::DEBUG);
        // Whatever its timer sends, the report of the daily tests is answered OK.
        m_registry.setAnswerFor(QByteArray("STAT_DEVICE: UID=") + kDailyId +
                                    ",DEVICE_TYPE=connect\r\n",
                                TestSupport::RegistryAnswer::reply("OK\r\n"));
    }
    void init()
    {
        UsageStatistics::setClock([] { return kNow; });
        UsageStatistics::setSendingMinute(-1);
    }

    void report_data()
    {
        QTest::addColumn<QVariant>("storedId"); // invalid: none stored
        QTest::addColumn<QDateTime>("lastUpdated");
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArrayList>("answers"); // in turn, then silence; "" closes
        QTest::addColumn<int>("requests");
        const QByteArrayList ok{"OK\r\n"}, failed{"FAILED_SERVER_ERROR\r\n"};
        QTest::newRow("first start") << QVariant() << QDateTime() << 1 << ok << 1;
        QTest::newRow("earlier day") << QVariant("{id}") << kNow.addDays(-1) << 0 << ok << 1;
        QTest::newRow("same day") << QVariant("{id}") << kNow.addSecs(-40000) << 1
                                  << QByteArrayList() << 0;
        QTest::newRow("empty id") << QVariant("") << kNow << 1 << ok << 1;
        QTest::newRow("retried until OK")
            << QVariant() << QDateTime() << 1 << failed + QByteArrayList{"", "OK\r\n"} << 3;
        // Still failing: the day's report is owed, and the next start sends it.
        QTest::newRow("failed, not yet retried")
            << QVariant("{id}") << kNow.addDays(-1) << 1 << failed << 1;
    }
    void report()
    {
        QFETCH(QVariant, storedId);
        QFETCH(QDateTime, lastUpdated);
        QFETCH(int, type);
        QFETCH(QByteArrayList, answers);
        QFETCH(int, requests);
        const bool succeeds = answers.contains("OK\r\n");
        QSettings settings(QStringLiteral("Tolvane"), QStringLiteral("UsageReport"));
        storeSettings(settings, storedId, lastUpdated);
        for (const QByteArray &answer : answers)
            m_registry.enqueue({answer, 0, 0, 0, answer.isEmpty()});
        const int before = m_registry.requests().size();

        TestSupport::LogCapture log;
        auto statistics = std::make_unique<UsageStatistics>(settings.applicationName(),
                                                            UsageStatistics::ApplicationType(type));
        // A report that never succeeds is retried long after the row ends.
        const int retryMs = succeeds ? 10 : 250000;
        statistics->setRetryInterval(retryMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_registry.requests().size() - before, requests, 20000);
        if (requests > 0 && !succeeds)
            QTRY_COMPARE_WITH_TIMEOUT(statistics->timerInterval(), retryMs, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(statistics->nextSendingTime().isValid(),
                                  succeeds || requests == 0, 20000);
        if (const QDateTime next = statistics->nextSendingTime(); next.isValid()) {
            QCOMPARE(next.date(), kNow.date().addDays(1));
            QCOMPARE(next.time(), QTime(0, next.time().minute()));
            QCOMPARE(statistics->timerInterval(), kNow.msecsTo(next));
        }
        statistics.reset();

        settings.sync();
        QCOMPARE(settings.value("LastUpdated").toDateTime(), succeeds ? kNow : lastUpdated);
        const QString id = settings.value("ApplicationUUID").toString();
        // A new identifier has no braces; a stored one is kept.
        QCOMPARE(id, storedId.toString().isEmpty() ? QUuid(id).toString(QUuid::WithoutBraces)
                                                   : storedId.toString());
        const QByteArray line = "STAT_DEVICE: UID=" + id.toUtf8() +
                                ",DEVICE_TYPE=" + (type ? "connect" : "client") + "\r\n";
        QCOMPARE(m_registry.requests().mid(before), QVector<QByteArray>(requests, line).toList());
        // The identifier is written, and logged on a line of its own.
        const bool created = storedId.toString().isEmpty();
        QCOMPARE(log.lines()
                     .filter(QRegularExpression("\\] Writing Application's UUID to Settings$"))
                     .size(),
                 int(created));
        QCOMPARE(log.count("] Application's UUID: \"" + id + '"'), int(created));

        // The next start the same day skips the report only when one succeeded.
        const bool skips = succeeds || requests == 0;
        UsageStatistics next(settings.applicationName(), UsageStatistics::ApplicationType(type));
        QCOMPARE(next.nextSendingTime().isValid(), skips);
        if (!skips)
            QTRY_COMPARE_WITH_TIMEOUT(m_registry.requests().size(), before + requests + 1, 20000);
    }

    // Each row starts at 23:59:59.990 on a day whose report went out at 01:00, so the next report
    // is planned for 00:00, 10 ms ahead. The timer then fires once per entry of firedAt, the wall
    // clock reading that time: before the planned time it only waits for the time left.
    void dailyReport_data()
    {
        QTest::addColumn<QList<QDateTime>>("firedAt");
        const QDateTime midnight(kNow.date().addDays(1), QTime(0, 0), Qt::UTC);
        const QDateTime held = midnight.addMSecs(-10);
        QTest::newRow("timer early, clock held") << QList<QDateTime>{held, held, held};
        QTest::newRow("clock stepped back") << QList<QDateTime>{held.addSecs(-3 * 3600)};
        QTest::newRow("next day") << QList<QDateTime>{midnight};
        QTest::newRow("held, then next day") << QList<QDateTime>{held, held, midnight};
    }
    void dailyReport()
    {
        QFETCH(QList<QDateTime>, firedAt);
        const QDateTime planned(kNow.date().addDays(1), QTime(0, 0), Qt::UTC);
        QSettings settings(QStringLiteral("Tolvane"), QStringLiteral("UsageReport"));
        storeSettings(settings, kDailyId, QDateTime(kNow.date(), QTime(1, 0), Qt::UTC));
        const int before = m_registry.requests().size();
        m_clock = planned.addMSecs(-10);
        UsageStatistics::setClock([this] {
            ++m_clockReads;
            return m_clock;
        });
        UsageStatistics::setSendingMinute(0);
        UsageStatistics statistics(settings.applicationName(), UsageStatistics::kConnect);
        QCOMPARE(statistics.nextSendingTime(), planned);
        UsageStatistics::setSendingMinute(30);

        for (const QDateTime &wall : firedAt) {
            m_clock = wall;
            // Every firing of the timer reads the clock.
            const int reads = m_clockReads;
            QTRY_VERIFY_WITH_TIMEOUT(m_clockReads > reads, 20000);
            if (wall < planned) {
                QVERIFY(statistics.findChildren<TolvaneMail::RegistryReply *>().isEmpty());
                QCOMPARE(m_registry.requests().size(), before);
                QCOMPARE(statistics.nextSendingTime(), planned);
                QVERIFY(statistics.isTimerActive());
                QCOMPARE(statistics.timerInterval(), int(wall.msecsTo(planned)));
            } else {
                const QDateTime next(wall.date().addDays(1), QTime(0, 30), Qt::UTC);
                QTRY_COMPARE_WITH_TIMEOUT(statistics.nextSendingTime(), next, 20000);
                QCOMPARE(statistics.timerInterval(), int(wall.msecsTo(next)));
                QCOMPARE(m_registry.requests().size(), before + 1);
                settings.sync();
                QCOMPARE(settings.value("LastUpdated").toDateTime(), wall);
            }
        }
    }

    // A report succeeds at 00:30, and the clock is stepped back to the evening before as soon as
    // that is stored: the next report is planned for 00:00 of the day that already had one. When
    // the timer reaches it, nothing is sent and the day after is planned.
    void clockSteppedBackAfterSuccess()
    {
        const QDateTime midnight(kNow.date().addDays(1), QTime(0, 0), Qt::UTC);
        const QDateTime success = midnight.addSecs(30 * 60);
        QSettings settings(QStringLiteral("Tolvane"), QStringLiteral("UsageReport"));
        storeSettings(settings, kDailyId, kNow);
        const int before = m_registry.requests().size();
        m_clock = success;
        UsageStatistics::setClock([this, &settings, success, midnight] {
            settings.sync();
            if (m_clock == success && settings.value("LastUpdated").toDateTime() == success)
                m_clock = midnight.addMSecs(-10);
            ++m_clockReads;
            return m_clock;
        });
        UsageStatistics::setSendingMinute(0);
        UsageStatistics statistics(settings.applicationName(), UsageStatistics::kConnect);
        QTRY_COMPARE_WITH_TIMEOUT(statistics.nextSendingTime(), midnight, 20000);
        UsageStatistics::setSendingMinute(30);
        QCOMPARE(m_registry.requests().size(), before + 1);

        m_clock = midnight;
        const int reads = m_clockReads;
        QTRY_VERIFY_WITH_TIMEOUT(m_clockReads > reads, 20000);
        QVERIFY(statistics.findChildren<TolvaneMail::RegistryReply *>().isEmpty());
        QCOMPARE(m_registry.requests().size(), before + 1);
        const QDateTime next = midnight.addDays(1).addSecs(30 * 60);
        QCOMPARE(statistics.nextSendingTime(), next);
        QCOMPARE(statistics.timerInterval(), int(midnight.msecsTo(next)));
    }
};

TOLVANE_TEST_MAIN(TestUsageStatistics)
#include "tst_usagestatistics.moc"
