#include "support/testenvironment.h"

#include "support/loopbackonlyproxyfactory.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QStandardPaths>

namespace TestSupport {

namespace {
TestEnvironment *s_current = nullptr;
}

TestEnvironment::TestEnvironment() : m_root(QDir::tempPath() + QStringLiteral("/tolvane-test-XXXXXX"))
{
    const QString base = m_root.path();
    const struct {
        const char *variable;
        const char *folder;
    } folders[] = {
        {"HOME", "home"},
        {"XDG_DATA_HOME", "home/.local/share"},
        {"XDG_CONFIG_HOME", "home/.config"},
        {"XDG_CACHE_HOME", "home/.cache"},
        {"XDG_RUNTIME_DIR", "runtime"},
        {"TMPDIR", "tmp"},
        {"TOLVANE_TEST_WORKDIR", "work"},
    };
    for (const auto &entry : folders) {
        const QString path = base + QLatin1Char('/') + QLatin1String(entry.folder);
        QDir().mkpath(path);
        qputenv(entry.variable, QFile::encodeName(path));
    }
    QFile::setPermissions(base + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir::setCurrent(base + QStringLiteral("/work"));
    qunsetenv("XDG_DATA_DIRS");
    qunsetenv("XDG_CONFIG_DIRS");
    for (const char *variable : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                                 "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        qunsetenv(variable);
    }
    // Outside services the program would ask by default point at a closed loopback port.
    qputenv("TOLVANE_EXTERNAL_IP_URL", "http://127.0.0.1:9/");
    qputenv("TOLVANE_LOCAL_IP_PROBE", "127.0.0.1:9");
    qputenv("TOLVANE_UPDATE_BASE_URL", "https://127.0.0.1:9");
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    s_current = this;
}

TestEnvironment::~TestEnvironment()
{
    QNetworkProxyFactory::setApplicationProxyFactory(nullptr);
    s_current = nullptr;
}

void TestEnvironment::afterApplication()
{
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    // Takes ownership; consulted for every socket and request the test makes.
    QNetworkProxyFactory::setApplicationProxyFactory(new LoopbackOnlyProxyFactory);
}

QString TestEnvironment::home() const
{
    return m_root.path() + QStringLiteral("/home");
}

TestEnvironment *TestEnvironment::current()
{
    return s_current;
}

QString binaryDir()
{
    const QString fromCTest = qEnvironmentVariable("TOLVANE_BINARY_DIR");
    return fromCTest.isEmpty() ? QString::fromUtf8(QT_TESTCASE_BUILDDIR) : fromCTest;
}

} // namespace TestSupport
