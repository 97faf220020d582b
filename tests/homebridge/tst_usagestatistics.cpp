#include "homebridge/usagestatistics.h"
#include "log/logger.h"
#include "support/logcapture.h"
#include "support/registrystandin.h"
#include "support/testmain.h"

namespace {
const QDateTime kNow(QDate(2031, 5, 6), QTime(13, 14, 15), Qt::UTC);

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

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_registry.start() && m_registry.pointClientHere());
        Log::Logger("UsageStatistics").setLevel(Log::DEBUG);
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

    // The report due at 00:00 goes out while the clock still reads the day before (a timer may
    // fire early), and its OK comes before midnight too: the next report is planned all the same.
    void reportSentBeforeMidnight()
    {
        const QDateTime beforeMidnight(kNow.date(), QTime(23, 59, 59, 990), Qt::UTC);
        UsageStatistics::setClock([beforeMidnight] { return beforeMidnight; });
        QSettings settings(QStringLiteral("Tolvane"), QStringLiteral("UsageReport"));
        storeSettings(settings, "{id}", kNow);
        m_registry.enqueue(TestSupport::RegistryAnswer::reply("OK\r\n"));
        const int before = m_registry.requests().size();
        const QDate tomorrow = kNow.date().addDays(1);
        UsageStatistics::setSendingMinute(0);
        UsageStatistics statistics(settings.applicationName(), UsageStatistics::kConnect);
        QCOMPARE(statistics.nextSendingTime(), QDateTime(tomorrow, QTime(0, 0), Qt::UTC));
        UsageStatistics::setSendingMinute(30);
        // The clock stands still, so the timer of 10 ms fires before the report is due.
        QTRY_COMPARE_WITH_TIMEOUT(m_registry.requests().size(), before + 1, 20000);
        const QDateTime next(tomorrow, QTime(0, 30), Qt::UTC);
        QTRY_COMPARE_WITH_TIMEOUT(statistics.nextSendingTime(), next, 20000);
        QVERIFY(statistics.isTimerActive());
        QCOMPARE(statistics.timerInterval(), beforeMidnight.msecsTo(next));
    }
};

TOLVANE_TEST_MAIN(TestUsageStatistics)
#include "tst_usagestatistics.moc"
