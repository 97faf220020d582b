#include "core/eventbus.h"

#include "log/logger.h"

#include <QCoreApplication>
#include <QMetaType>
#include <QThread>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {
const Log::Logger kLog("EventBus");

const char kEventBaseClass[] = "EventBase";

// Holds one of the bus locks for a scope. QMutex locks inside the Qt library, which a thread
// sanitizer build does not see into; there the lock is announced to it as well.
class BusLock
{
public:
    explicit BusLock(QMutex &mutex) : m_mutex(mutex)
    {
#if defined(__SANITIZE_THREAD__)
        __tsan_mutex_pre_lock(&m_mutex, 0);
#endif
        m_mutex.lock();
#if defined(__SANITIZE_THREAD__)
        __tsan_mutex_post_lock(&m_mutex, 0, 0);
#endif
    }
    ~BusLock()
    {
#if defined(__SANITIZE_THREAD__)
        __tsan_mutex_pre_unlock(&m_mutex, 0);
#endif
        m_mutex.unlock();
#if defined(__SANITIZE_THREAD__)
        __tsan_mutex_post_unlock(&m_mutex, 0);
#endif
    }
    BusLock(const BusLock &) = delete;
    BusLock &operator=(const BusLock &) = delete;

private:
    QMutex &m_mutex;
};

// The class's own name and those of its ancestors below EventBase; empty when the walk never
// reaches EventBase or starts there.
QList<QByteArray> registrationNames(const QMetaObject &eventClass)
{
    QList<QByteArray> names;
    for (const QMetaObject *meta = &eventClass; meta; meta = meta->superClass()) {
        if (qstrcmp(meta->className(), kEventBaseClass) == 0)
            return names;
        names.append(QByteArray(meta->className()));
    }
    return {};
}
} // namespace

QAtomicPointer<EventBus> EventBus::s_instance;
QMutex EventBus::m_singletonLock;

EventBus *EventBus::instance()
{
    EventBus *bus = s_instance.loadAcquire();
    if (bus)
        return bus;
    const BusLock locker(m_singletonLock);
    bus = s_instance.loadAcquire();
    if (!bus) {
        bus = new EventBus; // lives until destroy()
        s_instance.storeRelease(bus);
    }
    return bus;
}

void EventBus::destroy()
{
    const BusLock locker(m_singletonLock);
    EventBus *old = s_instance.fetchAndStoreOrdered(nullptr);
    if (!old)
        return;
    if (old->thread() == QThread::currentThread())
        delete old;
    else
        old->deleteLater();
}

EventBus::EventBus() : QObject(nullptr)
{
    qRegisterMetaType<EventPtr>("EventPtr");
    // Dispatching in a short-lived worker thread that happened to call first would lose every
    // event once that thread ends, so the main thread is preferred whenever it is known.
    QCoreApplication *application = QCoreApplication::instance();
    m_busThread = application ? application->thread() : QThread::currentThread();
    if (m_busThread != thread())
        moveToThread(m_busThread);
}

EventBus::~EventBus() = default;

void EventBus::publish(const EventBase &event)
{
    if (kLog.isTrace())
        kLog.trace(this) << "void EventBus::publish(const EventBase &event)"
                         << event.metaObject()->className();
    const EventPtr copy(event.clone());
    QMetaObject::invokeMethod(this, "dispatchEvent", Qt::QueuedConnection, Q_ARG(EventPtr, copy));
}

void EventBus::dispatchEvent(EventPtr event)
{
    if (!event)
        return;
    const BusLock locker(m_mutex);
    const QByteArray className(event->metaObject()->className());
    if (kLog.isTrace())
        kLog.trace(this) << "void EventBus::dispatchEvent(EventPtr event)" << className.constData();
    auto it = m_registry.find(className);
    while (it != m_registry.end() && it.key() == className) {
        SubscriptionManager *manager = it.value().data();
        if (manager && manager->isActive()) {
            manager->fireEvent(EventPtr(event->clone()));
            ++it;
        } else {
            it = m_registry.erase(it);
        }
    }
}

SubscriptionManager *EventBus::subscribe(const QMetaObject &eventClass, QObject *receiver,
                                         const char *slot)
{
    kLog.trace(this) << "SubscriptionManager *EventBus::subscribe(const QMetaObject &eventClass, "
                        "QObject *receiver, const char *slot)";
    if (!receiver || !slot)
        return nullptr;
    const BusLock locker(m_mutex);
    const QList<QByteArray> names = registrationNames(eventClass);
    if (names.isEmpty())
        return nullptr;

    // Connected while still in this thread, so a failed connection can delete it right here.
    auto manager = std::make_unique<SubscriptionManager>();
    if (!QObject::connect(manager.get(), SIGNAL(eventFired(EventPtr)), receiver, slot,
                          Qt::QueuedConnection))
        return nullptr;
    manager->moveToThread(m_busThread);
    // Deleted in the bus thread once the receiver is gone; its registry entries then read null.
    QObject::connect(receiver, &QObject::destroyed, manager.get(), &QObject::deleteLater,
                     Qt::QueuedConnection);
    SubscriptionManager *subscription = manager.release();
    for (const QByteArray &name : names)
        m_registry.insert(name, QPointer<SubscriptionManager>(subscription));
    return subscription;
}

int EventBus::registeredCount(const QByteArray &className) const
{
    const BusLock locker(m_mutex);
    return int(m_registry.count(className));
}
