#pragma once

#include <QSet>
#include <QTcpServer>

namespace Relay {

class Channel;
class ChannelSocketWrapper;

// The listener of one local forward: each accepted connection becomes a channel pair whose
// first end is bound to the accepted socket and whose second end is handed out through
// newConnection(Relay::Channel*) to the relay side, which then owns it.
class LocalSocket : public QTcpServer
{
    Q_OBJECT
public:
    explicit LocalSocket(QObject *parent = nullptr);
    ~LocalSocket() override;

    // Stops listening and closes every connection it carries.
    void stop();

    // Live connections (their wrappers).
    int connectionCount() const { return m_wrappers.size(); }
    // Drain time limit given to the socket wrappers made from now on.
    void setDrainTimeout(int milliseconds) { m_drainTimeoutMs = milliseconds; }

Q_SIGNALS:
    void newConnection(Relay::Channel *channel);
    // The last live connection has ended; a stopped listener carries nothing more.
    void connectionsEnded();

private Q_SLOTS:
    void onNewConnection();
    void onDisconnected();

private:
    QSet<ChannelSocketWrapper *> m_wrappers;
    int m_drainTimeoutMs;
};

} // namespace Relay
