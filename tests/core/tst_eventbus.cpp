#include "core/eventbus.h"
#include "support/testmain.h"

#include <mutex>

class TestEvent : public EventBase
{
    Q_OBJECT
public:
    explicit TestEvent(int sequence = 0, const QString &text = QString())
        : sequence(sequence), text(text)
    {
    }
    EventBase *clone() const override { return new TestEvent(sequence, text); }
    int sequence;
    QString text;
};

class DerivedEvent : public TestEvent
{
    Q_OBJECT
public:
    using TestEvent::TestEvent;
    EventBase *clone() const override { return new DerivedEvent(sequence, text); }
};

// Records each delivery as "<class> <sequence> <text>", with " elsewhere" when it ran in a
// thread other than the receiver's. Each receiver marks its own copy, which no other may see.
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
        test->text += QStringLiteral("+seen");
        const std::lock_guard<std::mutex> locker(m_lock);
        m_seen << QStringLiteral("%1 %2 %3%4")
                      .arg(event->metaObject()->className())
                      .arg(test->sequence)
                      .arg(test->text, QThread::currentThread() == thread() ? "" : " elsewhere");
    }

private:
    mutable std::mutex m_lock; // a standard mutex, which a thread sanitizer sees into
    QStringList m_seen;
};

class TestEventBus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        EventBus::destroy(); // a fresh bus for every case
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void firstCallFromShortLivedThread()
    {
        // The bus dispatches in the main thread even when a worker thread that ends made it.
        EventBus *created = nullptr;
        std::unique_ptr<QThread> first(
            QThread::create([&created] { created = EventBus::instance(); }));
        first->start();
        QVERIFY(first->wait(10000));
        first.reset();
        QCOMPARE(created->thread(), qApp->thread());
        Receiver receiver;
        QVERIFY(receiver.subscribe(TestEvent::staticMetaObject));
        EventBus::instance()->publish(TestEvent(7));
        QTRY_COMPARE(receiver.seen(), QStringList{"TestEvent 7 +seen"});
    }

    void dispatch()
    {
        auto *bus = EventBus::instance();
        Receiver twice;
        Receiver derived;
        Receiver unsubscribed;
        auto destroyed = std::make_unique<Receiver>();
        QVERIFY(twice.subscribe(TestEvent::staticMetaObject) &&
                twice.subscribe(TestEvent::staticMetaObject));
        QVERIFY(derived.subscribe(DerivedEvent::staticMetaObject));
        unsubscribed.subscribe(TestEvent::staticMetaObject)->unsubscribe();
        QPointer<SubscriptionManager> gone = destroyed->subscribe(TestEvent::staticMetaObject);
        {
            TestEvent published(1, QStringLiteral("a"));
            bus->publish(published);
            published.text = QStringLiteral("changed after publish");
        }
        QCoreApplication::sendPostedEvents(bus); // dispatched: the copies are queued
        destroyed.reset();                       // its queued copy goes with it
        QTRY_VERIFY(gone.isNull());              // and so does its subscription
        bus->publish(TestEvent(2));
        bus->publish(DerivedEvent(3));
        // Each subscription gets a copy of its own. A subscription stands under its class and
        // the ancestors below EventBase, and dispatch goes by the published class only.
        QTRY_COMPARE(derived.seen(), QStringList({"TestEvent 1 a+seen", "TestEvent 2 +seen",
                                                  "DerivedEvent 3 +seen"}));
        QCOMPARE(twice.seen(), QStringList({"TestEvent 1 a+seen", "TestEvent 1 a+seen",
                                            "TestEvent 2 +seen", "TestEvent 2 +seen"}));
        QCOMPARE(unsubscribed.seen(), QStringList());
        // The ended subscriptions were erased by the dispatches.
        QCOMPARE(bus->registeredCount("TestEvent"), 3);
    }

    void subscribeRejects()
    {
        Receiver receiver;
        auto *bus = EventBus::instance();
        QCOMPARE(bus->subscribe(EventBase::staticMetaObject, &receiver, SLOT(onEvent(EventPtr))),
                 nullptr);
        QCOMPARE(bus->subscribe(QTimer::staticMetaObject, &receiver, SLOT(onEvent(EventPtr))),
                 nullptr);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("QObject::connect"));
        QCOMPARE(bus->subscribe(TestEvent::staticMetaObject, &receiver, SLOT(onMissing(EventPtr))),
                 nullptr);
        for (const char *name : {"TestEvent", "EventBase", "QTimer", "QObject"})
            QCOMPARE(bus->registeredCount(name), 0);
    }

    void receiverInItsOwnThread()
    {
        QThread thread;
        thread.start();
        auto *receiver = new Receiver; // deleted in its own thread when the thread ends
        receiver->moveToThread(&thread);
        connect(&thread, &QThread::finished, receiver, &QObject::deleteLater);
        const auto stop = qScopeGuard([&thread] {
            thread.quit();
            thread.wait();
        });
        // It subscribes from its own thread, as the mail workers do.
        SubscriptionManager *subscription = nullptr;
        QMetaObject::invokeMethod(
            receiver, [&] { subscription = receiver->subscribe(TestEvent::staticMetaObject); },
            Qt::BlockingQueuedConnection);
        QCOMPARE(subscription->thread(), qApp->thread());
        // Another thread publishes while this one subscribes: nothing is lost, nothing blocks.
        std::unique_ptr<QThread> publisher(QThread::create([] {
            for (int i = 0; i < 400; ++i)
                EventBus::instance()->publish(TestEvent(i));
        }));
        publisher->start();
        Receiver late[20];
        for (Receiver &subscriber : late)
            QVERIFY(subscriber.subscribe(DerivedEvent::staticMetaObject));
        QVERIFY(publisher->wait(60000));
        QCOMPARE(EventBus::instance()->registeredCount("DerivedEvent"), 20);
        QTRY_COMPARE_WITH_TIMEOUT(receiver->seen().size(), 400, 60000);
        QVERIFY(!receiver->seen().join(';').contains("elsewhere"));
    }
};

TOLVANE_TEST_MAIN(TestEventBus)
#include "tst_eventbus.moc"
