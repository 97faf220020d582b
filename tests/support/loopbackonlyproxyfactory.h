#pragma once

#include <QHostAddress>
#include <QNetworkProxyFactory>

namespace TestSupport {

// Answers "no proxy" for every connection to a loopback address or "localhost", and stops the
// test with a fatal error for any other destination, so no test ever reaches beyond this machine.
class LoopbackOnlyProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        // Servers may listen on any address; only outgoing destinations are checked. A name
        // other than "localhost" would need a real name server.
        const QString host = query.peerHostName();
        if (query.queryType() != QNetworkProxyQuery::TcpServer && !host.isEmpty() &&
            host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0 &&
            !QHostAddress(host).isLoopback())
            qFatal("A test tried to reach %s, which is not a loopback address", qPrintable(host));
        return {QNetworkProxy(QNetworkProxy::NoProxy)};
    }
};

} // namespace TestSupport
