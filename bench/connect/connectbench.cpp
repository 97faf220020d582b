// Connection benchmark: the time from HBAccessManager::connectToHomeBridge to connected() on each
// path (the phone's relay service on the LAN and on the Internet, a relay server, a directly
// served HomeBridge), on loopback with the tests' stand-ins in this process. Prints the median
// of kRuns runs per path as connect_ms_<path>=<milliseconds>.
#include "homebridge/hbaccessmanager.h"
#include "log/logger.h"
#include "support/homebridgeroad.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRuns = 20;
constexpr int kRunTimeoutMs = 30000;

// Milliseconds from the call to connected(), or a negative value when it failed or took too long.
double timeConnect(HBAccessManager &manager, const QString &address)
{
    QEventLoop loop;
    bool connected = false;
    const auto onConnected = QObject::connect(&manager, &HBAccessManager::connected, &loop, [&] {
        connected = true;
        loop.quit();
    });
    const auto onError =
        QObject::connect(&manager, &HBAccessManager::error, &loop, &QEventLoop::quit);
    QTimer::singleShot(kRunTimeoutMs, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    manager.connectToHomeBridge(address, true);
    loop.exec();
    const double elapsed = clock.nsecsElapsed() / 1e6;
    QObject::disconnect(onConnected);
    QObject::disconnect(onError);
    manager.disconnectFromHomeBridge();
    // Lets the stand-ins close the links of this run before the next one starts.
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
    return connected ? elapsed : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    Log::Logger(QString()).setLevel(Log::NONE);
    QTemporaryDir configDir;
    TestSupport::HomeBridgeRoad road;
    if (!configDir.isValid() || !road.start(configDir.path())) {
        std::fprintf(stderr, "The stand-ins did not start\n");
        return 1;
    }
    HomeBridgeData internet = road.record;
    internet.info().LocalIP.clear();
    HomeBridgeData relay = internet;
    relay.info().Addressable = false;
    const struct
    {
        const char *name;
        HomeBridgeData record;
        QByteArray fields;
    } paths[] = {{"lan", road.record, {}},
                 {"internet", internet, {}},
                 {"relay", relay, {}},
                 {"direct", road.directRecord(), "DEVICE_TYPE=pro"}};

    HBAccessManager manager;
    for (const auto &path : paths) {
        road.registry.setDefaultAnswer(TestSupport::RegistryAnswer::reply(
            TestSupport::HomeBridgeRoad::findReply(path.record, path.fields)));
        std::vector<double> times;
        for (int run = 0; run < kRuns; ++run) {
            const double ms = timeConnect(manager, QStringLiteral("jo.doe@tolvane.com"));
            if (ms < 0) {
                std::fprintf(stderr, "No connection on the %s path\n", path.name);
                return 1;
            }
            times.push_back(ms);
        }
        std::sort(times.begin(), times.end());
        const double median = (times[kRuns / 2 - 1] + times[kRuns / 2]) / 2;
        std::printf("connect_ms_%s=%.2f\n", path.name, median);
        std::fflush(stdout);
    }
    return 0;
}
