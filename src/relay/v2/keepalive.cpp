#include "relay/v2/keepalive.h"

#include "log/logger.h"

namespace Relay::V2 {

namespace {
// A part of the handler: its lines follow the handler's logger level (the logger tree passes a
// level set on "Relay::V2::Handler" down to this one).
const Log::Logger kLog("Relay::V2::Handler::KeepAlive");
} // namespace

KeepAlive::KeepAlive(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire up to 5% early, and three early ticks would declare the link dead
    // before three whole intervals passed without a word from the peer.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kInterval);
    connect(&m_timer, &QTimer::timeout, this, &KeepAlive::onTick);
}

void KeepAlive::setInterval(int milliseconds)
{
    kLog.trace(this) << Q_FUNC_INFO << milliseconds;
    m_timer.setInterval(milliseconds);
    if (m_timer.isActive())
        m_timer.start();
}

void KeepAlive::start()
{
    kLog.trace(this) << Q_FUNC_INFO;
    // The handshake that made the link ready is the peer's latest sign of life: the first tick
    // finds it and sends nothing.
    m_activity = true;
    m_silentTicks = 0;
    m_timer.start();
}

void KeepAlive::stop()
{
    kLog.trace(this) << Q_FUNC_INFO;
    m_timer.stop();
    m_awaitingOk.clear();
}

bool KeepAlive::takeOk()
{
    if (m_awaitingOk.isEmpty())
        return false;
    m_awaitingOk.dequeue();
    return true;
}

void KeepAlive::onTick()
{
    kLog.trace(this) << "keep-alive timer fired";
    m_timer.start();
    if (m_activity) {
        m_activity = false;
        m_silentTicks = 0;
        return;
    }
    kLog.trace(this) << "keep-alive sent";
    ++m_silentTicks;
    m_awaitingOk.enqueue(Request::kKeep);
    Q_EMIT keepDue();
    if (m_silentTicks >= kMaxSilentTicks) {
        m_timer.stop();
        Q_EMIT timedOut();
    }
}

} // namespace Relay::V2
