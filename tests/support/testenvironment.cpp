#include "support/testenvironment.h"

#include "support/loopbackonlyproxyfactory.h"

#include <QDir>
#include <QNetworkProxy>
#include <QStandardPaths>

namespace TestSupport {

TestEnvironment::TestEnvironment()
    : m_root(QDir::tempPath() + QStringLiteral("/tolvane-test-XXXXXX"))
{
    const QString base = m_root.path() + QLatin1Char('/');
    for (const auto &[variable, folder] : {std::pair{"HOME", "home"},
                                           {"XDG_DATA_HOME", "home/.local/share"},
                                           {"XDG_CONFIG_HOME", "home/.config"},
                                           {"XDG_CACHE_HOME", "home/.cache"},
                                           {"XDG_RUNTIME_DIR", "runtime"},
                                           {"TMPDIR", "tmp"}}) {
        QDir().mkpath(base + QLatin1String(folder));
        qputenv(variable, QFile::encodeName(base + QLatin1String(folder)));
    }
    QFile::setPermissions(base + QStringLiteral("runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir().mkpath(base + QStringLiteral("work"));
    QDir::setCurrent(base + QStringLiteral("work"));
    for (const char *variable :
         {"XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "http_proxy", "https_proxy", "HTTP_PROXY",
          "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        qunsetenv(variable);
    }
    qputenv("TOLVANE_EXTERNAL_IP_URL", "http://127.0.0.1:9/");
    qputenv("TOLVANE_LOCAL_IP_PROBE", "127.0.0.1:9");
    qputenv("TOLVANE_UPDATE_BASE_URL", "https://127.0.0.1:9");
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
}

TestEnvironment::~TestEnvironment()
{
    QNetworkProxyFactory::setApplicationProxyFactory(nullptr);
}

void TestEnvironment::afterApplication()
{
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    // Takes ownership; consulted for every socket and request the test makes.
    QNetworkProxyFactory::setApplicationProxyFactory(new LoopbackOnlyProxyFactory);
}

QString binaryDir()
{
    const QString fromCTest = qEnvironmentVariable("TOLVANE_BINARY_DIR");
    return fromCTest.isEmpty() ? QString::fromUtf8(QT_TESTCASE_BUILDDIR) : fromCTest;
}

} // namespace TestSupport
