#include "core/eventbus.h"
#include "support/testmain.h"

#include <QMutex>
#include <QPointer>
#include <QSet>
#include <QThread>
#include <atomic>
#include <memory>
#include <mutex>

namespace {
std::atomic<int> s_liveEvents{0};
std::atomic<int> s_clones{0};
} // namespace

class TestEvent : public EventBase
{
    Q_OBJECT
public:
    TestEvent(int publisher = 0, int sequence = 0, const QString &text = QString())
        : m_publisher(publisher), m_sequence(sequence), m_text(text)
    {
        ++s_liveEvents;
    }
    ~TestEvent() override { --s_liveEvents; }
    EventBase *clone() const override
    {
        ++s_clones;
        return new TestEvent(m_publisher, m_sequence, m_text);
    }

    int m_publisher;
    int m_sequence;
    QString m_text;
};

class DerivedTestEvent : public TestEvent
{
    Q_OBJECT
public:
    using TestEvent::TestEvent;
    EventBase *clone() const override
    {
        ++s_clones;
        return new DerivedTestEvent(m_publisher, m_sequence, m_text);
    }
};

class OtherEvent : public EventBase
{
    Q_OBJECT
public:
    EventBase *clone() const override { return new OtherEvent; }
};

// Records every delivery: the copy, the thread it ran in.
class Receiver : public QObject
{
    Q_OBJECT
public:
    struct Delivery
    {
        EventPtr event;
        QThread *thread;
    };

    QList<Delivery> deliveries() const
    {
        const std::lock_guard<std::mutex> locker(m_lock);
        return m_deliveries;
    }
    int count() const
    {
        const std::lock_guard<std::mutex> locker(m_lock);
        return m_deliveries.size();
    }
    int otherCount() const { return m_other.load(); }

    // Subscribes from the receiver's own thread, as the mail workers do.
    Q_INVOKABLE void subscribeHere()
    {
        m_subscription = EventBus::instance()->subscribe<TestEvent>(this, SLOT(onEvent(EventPtr)));
    }
    SubscriptionManager *m_subscription = nullptr;

public Q_SLOTS:
    void onEvent(EventPtr event)
    {
        // Each receiver changes its own copy; no other receiver may see the change.
        if (auto *test = qobject_cast<TestEvent *>(event.data()))
            test->m_text += QStringLiteral("+seen");
        const std::lock_guard<std::mutex> locker(m_lock);
        m_deliveries.append({event, QThread::currentThread()});
    }
    void onOther(EventPtr) { ++m_other; }
    void onWrongSignature(int) {}

private:
    // A standard mutex, which a thread sanitizer build sees into.
    mutable std::mutex m_lock;
    QList<Delivery> m_deliveries;
    std::atomic<int> m_other{0};
};

class TestEventBus : public QObject
{
    Q_OBJECT
    // Subscriptions of receivers that are gone delete themselves through queued calls.
    static void flushDeletions()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private Q_SLOTS:
    void init()
    {
        // Every case starts with a fresh bus and no event left over from the previous one.
        EventBus::destroy();
        flushDeletions();
        QTRY_COMPARE(s_liveEvents.load(), 0);
        s_clones = 0;
    }

    void cleanupTestCase()
    {
        EventBus::destroy();
        flushDeletions();
    }

    void firstCallFromShortLivedThread()
    {
        EventBus *created = nullptr;
        std::unique_ptr<QThread> first(
            QThread::create([&created] { created = EventBus::instance(); }));
        first->start();
        QVERIFY(first->wait(10000));
        first.reset();
        QVERIFY(created);
        QCOMPARE(created, EventBus::instance());
        QCOMPARE(created->thread(), qApp->thread());
        QCOMPARE(created->busThread(), qApp->thread());

        Receiver receiver;
        QVERIFY(EventBus::instance()->subscribe<TestEvent>(&receiver, SLOT(onEvent(EventPtr))));
        std::unique_ptr<QThread> publisher(QThread::create(
            [] { EventBus::instance()->publish(TestEvent(1, 7, QStringLiteral("late"))); }));
        publisher->start();
        QVERIFY(publisher->wait(10000));
        publisher.reset();

        QTRY_COMPARE(receiver.count(), 1);
        const auto delivery = receiver.deliveries().first();
        QCOMPARE(delivery.thread, qApp->thread());
        QCOMPARE(qobject_cast<TestEvent *>(delivery.event.data())->m_sequence, 7);
    }

    void eachSubscriberGetsItsOwnCopy_data()
    {
        QTest::addColumn<int>("receivers");
        QTest::addColumn<int>("subscriptionsEach");
        QTest::newRow("one receiver") << 1 << 1;
        QTest::newRow("three receivers") << 3 << 1;
        QTest::newRow("same receiver twice") << 1 << 2;
        QTest::newRow("two receivers twice each") << 2 << 2;
    }

    void eachSubscriberGetsItsOwnCopy()
    {
        QFETCH(int, receivers);
        QFETCH(int, subscriptionsEach);
        std::vector<std::unique_ptr<Receiver>> all;
        for (int i = 0; i < receivers; ++i) {
            all.push_back(std::make_unique<Receiver>());
            for (int s = 0; s < subscriptionsEach; ++s)
                QVERIFY(EventBus::instance()->subscribe<TestEvent>(all.back().get(),
                                                                   SLOT(onEvent(EventPtr))));
        }
        QCOMPARE(EventBus::instance()->registeredCount("TestEvent"), receivers * subscriptionsEach);

        {
            TestEvent published(3, 42, QStringLiteral("payload"));
            EventBus::instance()->publish(published);
            published.m_text = QStringLiteral("changed after publish");
        } // the publisher's object is gone before the dispatch runs

        QSet<EventBase *> copies;
        for (const auto &receiver : all) {
            QTRY_COMPARE(receiver->count(), subscriptionsEach);
            for (const auto &delivery : receiver->deliveries()) {
                auto *event = qobject_cast<TestEvent *>(delivery.event.data());
                QVERIFY(event);
                QCOMPARE(event->m_sequence, 42);
                QCOMPARE(event->m_publisher, 3);
                // Only the receiver's own change shows: one "+seen", never two.
                QCOMPARE(event->m_text, QStringLiteral("payload+seen"));
                QCOMPARE(delivery.thread, qApp->thread());
                copies.insert(event);
            }
        }
        QCOMPARE(copies.size(), receivers * subscriptionsEach);
        // One clone at publish, one per subscription at dispatch.
        QCOMPARE(s_clones.load(), 1 + receivers * subscriptionsEach);
    }

    void eventWithoutSubscriberIsReleased()
    {
        Receiver receiver;
        QVERIFY(EventBus::instance()->subscribe<OtherEvent>(&receiver, SLOT(onOther(EventPtr))));
        EventBus::instance()->publish(TestEvent(1, 1));
        QTRY_COMPARE(s_liveEvents.load(), 0);
        QCOMPARE(s_clones.load(), 1);
        QCOMPARE(receiver.count(), 0);
        QCOMPARE(receiver.otherCount(), 0);
    }

    void unsubscribeStopsDeliveriesAndErasesTheEntry()
    {
        Receiver kept;
        Receiver dropped;
        auto *bus = EventBus::instance();
        SubscriptionManager *keptSubscription =
            bus->subscribe<TestEvent>(&kept, SLOT(onEvent(EventPtr)));
        QPointer<SubscriptionManager> droppedSubscription =
            bus->subscribe<TestEvent>(&dropped, SLOT(onEvent(EventPtr)));
        QVERIFY(keptSubscription && droppedSubscription);
        QVERIFY(droppedSubscription->isActive());
        droppedSubscription->unsubscribe();
        QVERIFY(!droppedSubscription->isActive());
        QCOMPARE(bus->registeredCount("TestEvent"), 2);

        bus->publish(TestEvent(1, 1));
        QTRY_COMPARE(kept.count(), 1);
        QCOMPARE(bus->registeredCount("TestEvent"), 1);
        bus->publish(TestEvent(1, 2));
        QTRY_COMPARE(kept.count(), 2);
        QCOMPARE(dropped.count(), 0);
        // Erased from the registry, but it stays in memory until its receiver goes.
        QVERIFY(!droppedSubscription.isNull());
    }

    void destroyedReceiverIsDropped()
    {
        auto *bus = EventBus::instance();
        Receiver survivor;
        QVERIFY(bus->subscribe<TestEvent>(&survivor, SLOT(onEvent(EventPtr))));
        auto doomed = std::make_unique<Receiver>();
        QPointer<SubscriptionManager> subscription =
            bus->subscribe<TestEvent>(doomed.get(), SLOT(onEvent(EventPtr)));
        QVERIFY(subscription);

        // Copies already queued for it when it goes are dropped with it.
        bus->publish(TestEvent(1, 1));
        QCoreApplication::sendPostedEvents(bus); // dispatch: one copy each is now queued
        doomed.reset();
        QTRY_VERIFY(subscription.isNull()); // deleted later in the bus thread
        QTRY_COMPARE(survivor.count(), 1);
        QCOMPARE(bus->registeredCount("TestEvent"), 2);

        bus->publish(TestEvent(1, 2));
        QTRY_COMPARE(survivor.count(), 2);
        QCOMPARE(bus->registeredCount("TestEvent"), 1);
        // The copy queued for the destroyed receiver went with it: only the survivor's two remain.
        QTRY_COMPARE(s_liveEvents.load(), 2);
    }

    void subscribeRejects_data()
    {
        QTest::addColumn<QString>("eventClass");
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<bool>("qtWarns");
        QTest::newRow("the base itself")
            << "EventBase" << QByteArray(SLOT(onEvent(EventPtr))) << false;
        QTest::newRow("not an event") << "QTimer" << QByteArray(SLOT(onEvent(EventPtr))) << false;
        QTest::newRow("no such slot")
            << "TestEvent" << QByteArray(SLOT(onMissing(EventPtr))) << true;
        QTest::newRow("wrong signature")
            << "TestEvent" << QByteArray(SLOT(onWrongSignature(int))) << true;
    }

    void subscribeRejects()
    {
        QFETCH(QString, eventClass);
        QFETCH(QByteArray, slot);
        QFETCH(bool, qtWarns);
        const QMetaObject *meta =
            eventClass == QLatin1String("EventBase") ? &EventBase::staticMetaObject
            : eventClass == QLatin1String("QTimer")  ? &QTimer::staticMetaObject
                                                     : &TestEvent::staticMetaObject;
        Receiver receiver;
        if (qtWarns)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("QObject::connect")));
        auto *bus = EventBus::instance();
        QCOMPARE(bus->subscribe(*meta, &receiver, slot.constData()), nullptr);
        QCOMPARE(bus->registeredCount("TestEvent"), 0);
        QCOMPARE(bus->registeredCount("EventBase"), 0);
        QCOMPARE(bus->registeredCount("QTimer"), 0);
        QCOMPARE(bus->registeredCount("QObject"), 0);
    }

    void derivedSubscriptionStandsUnderItsAncestors()
    {
        auto *bus = EventBus::instance();
        Receiver derivedReceiver;
        Receiver baseReceiver;
        QVERIFY(bus->subscribe<DerivedTestEvent>(&derivedReceiver, SLOT(onEvent(EventPtr))));
        QVERIFY(bus->subscribe<TestEvent>(&baseReceiver, SLOT(onEvent(EventPtr))));
        QCOMPARE(bus->registeredCount("DerivedTestEvent"), 1);
        QCOMPARE(bus->registeredCount("TestEvent"), 2);

        bus->publish(DerivedTestEvent(1, 1));
        bus->publish(TestEvent(1, 2));
        QTRY_COMPARE(derivedReceiver.count(), 2);
        QTRY_COMPARE(baseReceiver.count(), 1);
        // Dispatch goes by the published class only: the base subscriber never sees the derived
        // event.
        QCOMPARE(
            qobject_cast<TestEvent *>(baseReceiver.deliveries().first().event.data())->m_sequence,
            2);
        QVERIFY(
            qobject_cast<DerivedTestEvent *>(derivedReceiver.deliveries().first().event.data()));
    }

    void publishersInManyThreads()
    {
        constexpr int kPublishers = 4;
        constexpr int kEventsEach = 400;
        constexpr int kLateSubscribers = 50;
        auto *bus = EventBus::instance();

        QThread receiverThread;
        receiverThread.start();
        const auto stopReceiver = qScopeGuard([&receiverThread] {
            receiverThread.quit();
            receiverThread.wait();
        });
        auto *receiver = new Receiver; // deleted in its own thread when the thread ends
        receiver->moveToThread(&receiverThread);
        connect(&receiverThread, &QThread::finished, receiver, &QObject::deleteLater);
        QVERIFY(QMetaObject::invokeMethod(receiver, "subscribeHere", Qt::BlockingQueuedConnection));
        QVERIFY(receiver->m_subscription);
        QCOMPARE(receiver->m_subscription->thread(), qApp->thread());

        std::vector<std::unique_ptr<QThread>> publishers;
        for (int p = 0; p < kPublishers; ++p) {
            publishers.emplace_back(QThread::create([p] {
                for (int i = 0; i < kEventsEach; ++i)
                    EventBus::instance()->publish(TestEvent(p, i));
            }));
        }
        for (auto &publisher : publishers)
            publisher->start();
        // Meanwhile the main thread subscribes: no registration may be lost, nothing may block.
        std::vector<std::unique_ptr<Receiver>> late;
        for (int i = 0; i < kLateSubscribers; ++i) {
            late.push_back(std::make_unique<Receiver>());
            QVERIFY(bus->subscribe<OtherEvent>(late.back().get(), SLOT(onOther(EventPtr))));
        }
        for (auto &publisher : publishers)
            QVERIFY(publisher->wait(60000));
        QCOMPARE(bus->registeredCount("OtherEvent"), kLateSubscribers);

        QTRY_COMPARE_WITH_TIMEOUT(receiver->count(), kPublishers * kEventsEach, 60000);
        bus->publish(OtherEvent());
        for (const auto &subscriber : late)
            QTRY_COMPARE(subscriber->otherCount(), 1);

        QVector<int> nextSequence(kPublishers, 0);
        QSet<EventBase *> copies;
        for (const auto &delivery : receiver->deliveries()) {
            QCOMPARE(delivery.thread, &receiverThread);
            auto *event = qobject_cast<TestEvent *>(delivery.event.data());
            QVERIFY(event);
            QVERIFY(event->m_publisher >= 0 && event->m_publisher < kPublishers);
            // Exactly once each, and in publishing order per publisher.
            QCOMPARE(event->m_sequence, nextSequence[event->m_publisher]);
            ++nextSequence[event->m_publisher];
            copies.insert(event);
        }
        QCOMPARE(copies.size(), kPublishers * kEventsEach);
        // Nothing arrives twice after the count was reached.
        bus->publish(OtherEvent());
        for (const auto &subscriber : late)
            QTRY_COMPARE(subscriber->otherCount(), 2);
        QCOMPARE(receiver->count(), kPublishers * kEventsEach);
    }
};

TOLVANE_TEST_MAIN(TestEventBus)
#include "tst_eventbus.moc"
