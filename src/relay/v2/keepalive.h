#pragma once

#include <QObject>
#include <QQueue>
#include <QTimer>

namespace Relay::V2 {

// Keeps a relay V2 link alive and tells when it died: every tick without a sign of life from the
// peer asks for a KEEP, and the third such tick in a row declares the link dead. A tick never
// comes early, so a link is declared dead no sooner than three whole intervals after the peer's
// last word.
//
// It also pairs the peer's bare OKs with what they answer. KEEP and WATCH are both answered by
// a bare OK, in order, so each OK answers the oldest of them still waiting; an OK with nothing
// waiting answers nothing.
class KeepAlive : public QObject
{
    Q_OBJECT
public:
    // Requests that a bare OK answers.
    enum class Request { kKeep, kWatch };

    static constexpr int kInterval = 10000;
    // Silent ticks in a row after which the link is dead.
    static constexpr int kMaxSilentTicks = 3;

    explicit KeepAlive(QObject *parent = nullptr);

    // For tests: the tick in milliseconds.
    void setInterval(int milliseconds);
    int interval() const { return m_timer.interval(); }

    // Starts ticking when the link becomes ready; the handshake counts as the peer's activity.
    void start();
    void stop();
    // The peer showed a sign of life since the last tick.
    void noteActivity() { m_activity = true; }
    // A request that a bare OK answers went out.
    void expectOk(Request request) { m_awaitingOk.enqueue(request); }
    // A bare OK arrived: true when it answers a request still waiting (which it then takes).
    bool takeOk();

Q_SIGNALS:
    // A tick found the peer silent: a KEEP is due (already counted as awaiting its OK).
    void keepDue();
    void timedOut();

private:
    void onTick();

    QTimer m_timer;
    bool m_activity = false;
    int m_silentTicks = 0;
    QQueue<Request> m_awaitingOk;
};

} // namespace Relay::V2
