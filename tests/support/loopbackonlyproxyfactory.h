#pragma once

#include <QNetworkProxyFactory>

namespace TestSupport {

// Answers "no proxy" for every connection to a loopback address or "localhost", and stops the
// test with a fatal error for any other destination, so no test ever reaches beyond this machine.
class LoopbackOnlyProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;

    // Whether a host (address or name) is one a test may reach.
    static bool isAllowedHost(const QString &host);
};

} // namespace TestSupport
