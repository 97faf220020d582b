#include "core/eventbus.h"
#include "support/testmain.h"

#include <mutex>

class TestEvent : public EventBase
{
    Q_OBJECT
public:
    explicit TestEvent(int sequence = 0) : sequence(sequence) {}
    EventBase *clone() const override { return new TestEvent(sequence); }
    const int sequence;
    int receivers = 0; // of this copy
};

class DerivedEvent : public TestEvent
{
    Q_OBJECT
public:
    using TestEvent::TestEvent;
    EventBase *clone() const override { return new DerivedEvent(sequence); }
};

// Records each delivery as "<class> <sequence>", with "!" when another receiver had the same copy
// and " elsewhere" when it ran in a thread other than the receiver's.
class Receiver : public QObject
{
    Q_OBJECT
public:
    SubscriptionManager *subscribe(const QMetaObject &eventClass)
    {
        return EventBus::instance()->subscribe(eventClass, this, SLOT(onEvent(EventPtr)));
    }
    QStringList seen() const
    {
        const std::lock_guard<std::mutex> locker(m_lock);
        return m_seen;
    }

public Q_SLOTS:
    void onEvent(EventPtr event)
    {
        auto *test = qobject_cast<TestEvent *>(event.data());
        const std::lock_guard<std::mutex> locker(m_lock); // a standard mutex, seen by sanitizers
        m_seen
            << QStringLiteral("%1 %2").arg(event->metaObject()->className()).arg(test->sequence) +
                   (test->receivers++ ? "!" : "") +
                   (QThread::currentThread() == thread() ? "" : " elsewhere");
    }

private:
    mutable std::mutex m_lock;
    QStringList m_seen;
};

class TestEventBus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each subscription gets a copy of its own. A subscription stands under its class and the
    // ancestors below EventBase, and dispatch goes by the published class only.
    void subscriptions()
    {
        auto *bus = EventBus::instance();
        Receiver twice, derived, unsubscribed;
        QVERIFY(!twice.subscribe(EventBase::staticMetaObject));
        QVERIFY(!twice.subscribe(QTimer::staticMetaObject));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("QObject::connect"));
        QVERIFY(!bus->subscribe(TestEvent::staticMetaObject, &twice, SLOT(onMissing(EventPtr))));
        for (const char *name : {"TestEvent", "EventBase", "QTimer", "QObject"})
            QCOMPARE(bus->registeredCount(name), 0);
        QVERIFY(twice.subscribe(TestEvent::staticMetaObject) &&
                twice.subscribe(TestEvent::staticMetaObject));
        QVERIFY(derived.subscribe(DerivedEvent::staticMetaObject));
        unsubscribed.subscribe(TestEvent::staticMetaObject)->unsubscribe();
        auto destroyed = std::make_unique<Receiver>();
        QPointer<SubscriptionManager> gone = destroyed->subscribe(TestEvent::staticMetaObject);
        bus->publish(TestEvent(1));
        QCoreApplication::sendPostedEvents(bus); // dispatched: the copies are queued
        destroyed.reset();                       // its queued copy goes with it
        QTRY_VERIFY(gone.isNull());              // and so does its subscription
        bus->publish(TestEvent(2));
        bus->publish(DerivedEvent(3));
        QTRY_COMPARE(derived.seen(), QStringList({"TestEvent 1", "TestEvent 2", "DerivedEvent 3"}));
        QCOMPARE(twice.seen(),
                 QStringList({"TestEvent 1", "TestEvent 1", "TestEvent 2", "TestEvent 2"}));
        QCOMPARE(unsubscribed.seen(), QStringList());
        QCOMPARE(bus->registeredCount("TestEvent"), 3); // the ended subscriptions were erased
    }

    // The bus made by a worker thread that ends dispatches in the main thread; a receiver in a
    // thread of its own gets every event there, in order, while another subscribes meanwhile.
    void receiverInItsOwnThread()
    {
        EventBus::destroy();
        std::unique_ptr<QThread> creator(QThread::create([] { EventBus::instance(); }));
        creator->start();
        QVERIFY(creator->wait(10000));
        QCOMPARE(EventBus::instance()->thread(), qApp->thread());
        QThread thread;
        thread.start();
        auto *receiver = new Receiver; // deleted in its own thread when the thread ends
        receiver->moveToThread(&thread);
        connect(&thread, &QThread::finished, receiver, &QObject::deleteLater);
        const auto stop = qScopeGuard([&thread] {
            thread.quit();
            thread.wait();
        });
        SubscriptionManager *subscription = nullptr; // subscribed from its own thread
        QMetaObject::invokeMethod(
            receiver, [&] { subscription = receiver->subscribe(TestEvent::staticMetaObject); },
            Qt::BlockingQueuedConnection);
        QCOMPARE(subscription->thread(), qApp->thread());
        std::unique_ptr<QThread> publisher(QThread::create([] {
            for (int i = 0; i < 400; ++i)
                EventBus::instance()->publish(TestEvent(i));
        }));
        publisher->start();
        Receiver late; // subscribes while events are being published
        QVERIFY(late.subscribe(DerivedEvent::staticMetaObject));
        QVERIFY(publisher->wait(60000));
        QStringList expected;
        for (int i = 0; i < 400; ++i)
            expected << QStringLiteral("TestEvent %1").arg(i);
        QTRY_COMPARE_WITH_TIMEOUT(receiver->seen(), expected, 60000);
    }
};

TOLVANE_TEST_MAIN(TestEventBus)
#include "tst_eventbus.moc"
