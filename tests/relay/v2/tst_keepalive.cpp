#include "relay/v2/keepalive.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QtTest>

using Relay::V2::KeepAlive;

// The tick, the silent-tick count and the pairing of bare OKs with what they answer.
class TestKeepAlive : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void silenceOrActivity_data()
    {
        QTest::addColumn<bool>("active"); // the peer shows life at every KEEP
        QTest::newRow("third silent tick declares the link dead") << false;
        QTest::newRow("activity keeps it alive") << true;
    }

    void silenceOrActivity()
    {
        QFETCH(bool, active);
        KeepAlive keepAlive;
        keepAlive.setInterval(20);
        QSignalSpy due(&keepAlive, &KeepAlive::keepDue);
        QSignalSpy timedOut(&keepAlive, &KeepAlive::timedOut);
        if (active)
            connect(&keepAlive, &KeepAlive::keepDue, &keepAlive, &KeepAlive::noteActivity);
        keepAlive.start();
        if (active) {
            QTRY_VERIFY_WITH_TIMEOUT(due.count() >= 4, 10000);
            QCOMPARE(timedOut.count(), 0);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(timedOut.count(), 1, 10000);
        QCOMPARE(due.count(), KeepAlive::kMaxSilentTicks);
        QTest::qWait(100); // and it stops there
        QCOMPARE(due.count(), KeepAlive::kMaxSilentTicks);
    }

    void bareOkAnswersTheOldestRequest()
    {
        KeepAlive keepAlive;
        keepAlive.setInterval(20);
        QSignalSpy due(&keepAlive, &KeepAlive::keepDue);
        // One tick only: the KEEP it asks for waits behind the WATCH.
        connect(&keepAlive, &KeepAlive::keepDue, &keepAlive, [&] { keepAlive.setInterval(60000); });
        keepAlive.expectOk(KeepAlive::Request::kWatch);
        keepAlive.start();
        QTRY_COMPARE(due.count(), 1);
        QVERIFY(keepAlive.takeOk());  // the WATCH
        QVERIFY(keepAlive.takeOk());  // the KEEP
        QVERIFY(!keepAlive.takeOk()); // nothing
        keepAlive.expectOk(KeepAlive::Request::kWatch);
        keepAlive.stop(); // a new link start waits for nothing
        QVERIFY(!keepAlive.takeOk());
    }
};

TOLVANE_TEST_MAIN(TestKeepAlive)
#include "tst_keepalive.moc"
