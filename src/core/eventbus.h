#pragma once

#include "core/eventbase.h"
#include "core/subscriptionmanager.h"

#include <QAtomicPointer>
#include <QByteArray>
#include <QMultiHash>
#include <QMutex>
#include <QObject>
#include <QPointer>

class QThread;

// Carries events between objects of different threads. A publisher hands over an event; every
// active subscription to the event's class receives its own copy, queued into the receiver's
// thread. Dispatch runs in the bus thread: the application's main thread when an application
// object exists, otherwise the thread that created the bus.
class EventBus : public QObject
{
    Q_OBJECT
public:
    // The process-wide bus, created on the first call.
    static EventBus *instance();
    // Deletes the bus; a later instance() builds a new one.
    static void destroy();

    // Any thread. Returns at once; the copy taken here is dispatched later in the bus thread.
    void publish(const EventBase &event);

    // Connects the receiver's slot (text form of SLOT(), taking one EventPtr) to events of the
    // given class. Null when the class does not derive from EventBase, is EventBase itself, or
    // the slot cannot be connected. The subscription deletes itself once the receiver is gone.
    SubscriptionManager *subscribe(const QMetaObject &eventClass, QObject *receiver,
                                   const char *slot);
    template <typename T> SubscriptionManager *subscribe(QObject *receiver, const char *slot)
    {
        return subscribe(T::staticMetaObject, receiver, slot);
    }

    // The registry entries under a class name, gone or inactive ones included until the next
    // dispatch of that name erases them.
    int registeredCount(const QByteArray &className) const;

    QThread *busThread() const { return m_busThread; }

public Q_SLOTS:
    void dispatchEvent(EventPtr event);

private:
    EventBus();
    ~EventBus() override;

    mutable QMutex m_mutex;
    QThread *m_busThread;
    QMultiHash<QByteArray, QPointer<SubscriptionManager>> m_registry;

    static QAtomicPointer<EventBus> s_instance;
    static QMutex m_singletonLock;
};
