#include "support/loopbackonlyproxyfactory.h"

#include <QHostAddress>

namespace TestSupport {

bool LoopbackOnlyProxyFactory::isAllowedHost(const QString &host)
{
    if (host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    if (!address.setAddress(host))
        return false; // a name that would need a real name server
    return address.isLoopback();
}

QList<QNetworkProxy> LoopbackOnlyProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    // Servers may listen on any address; only outgoing destinations are checked.
    if (query.queryType() != QNetworkProxyQuery::TcpServer) {
        const QString host = query.peerHostName();
        if (!isAllowedHost(host))
            qFatal("A test tried to reach %s, which is not a loopback address",
                   qPrintable(host));
    }
    return {QNetworkProxy(QNetworkProxy::NoProxy)};
}

} // namespace TestSupport
