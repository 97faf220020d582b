#include "core/subscriptionmanager.h"

#include "log/logger.h"

namespace {
const Log::Logger kLog("SubscriptionManager");
}

SubscriptionManager::SubscriptionManager() : QObject(nullptr) {}

SubscriptionManager::~SubscriptionManager() = default;

void SubscriptionManager::fireEvent(EventPtr event)
{
    Q_EMIT eventFired(event);
}

bool SubscriptionManager::isActive() const
{
    return m_active.load(std::memory_order_acquire);
}

void SubscriptionManager::unsubscribe()
{
    kLog.trace(this) << "void SubscriptionManager::unsubscribe()";
    m_active.store(false, std::memory_order_release);
}
