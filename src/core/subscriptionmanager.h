#pragma once

#include "core/eventbase.h"

#include <QObject>
#include <atomic>

// One subscription to the event bus. It lives in the bus thread; its queued signal carries each
// copy to the receiver's slot in the receiver's thread.
class SubscriptionManager : public QObject
{
    Q_OBJECT
public:
    SubscriptionManager();
    ~SubscriptionManager() override;

    void fireEvent(EventPtr event);
    bool isActive() const;
    // Stops further deliveries. Copies already posted to the receiver still arrive.
    void unsubscribe();

Q_SIGNALS:
    void eventFired(EventPtr event);

private:
    // Written in the subscriber's thread, read by the dispatch in the bus thread.
    std::atomic<bool> m_active{true};
};
