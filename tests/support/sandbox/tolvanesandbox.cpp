// tolvane-sandbox: an account's whole road to its HomeBridge on loopback, for the real program: a
// registry, a phone (relay service on a LAN and an Internet address, a session on a relay server,
// TLS POP3, SMTP and PMTP services that greet and then echo), the relay server and the
// address-echo service. Runs until SIGTERM or SIGINT; SIGUSR1 cuts the relay server's newest link.

#include "log/logger.h"
#include "support/homebridgeroad.h"
#include "support/loopbackonlyproxyfactory.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxyFactory>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace TestSupport;

namespace {
const char kUsage[] =
    "Usage: tolvane-sandbox <folder> [<address>[=<paths>]]...\n"
    "<paths>: lan, internet, relay (comma-separated; all when left out) or direct\n";
const QStringList kPaths{"lan", "internet", "relay"};

// Answers the find request of "address[=paths]" with a record offering those paths.
bool serve(HomeBridgeRoad &road, const QString &account)
{
    const QString address = account.section('=', 0, 0);
    const QStringList paths = account.contains('=') ? account.section('=', 1).split(',') : kPaths;
    const bool direct = paths == QStringList{"direct"};
    for (const QString &path : paths) {
        if (!address.contains('@') || (!direct && !kPaths.contains(path)))
            return false;
    }
    HomeBridgeData record = direct ? road.directRecord() : road.record;
    if (!paths.contains("lan"))
        record.info().LocalIP.clear();
    if (!paths.contains("internet"))
        record.info().Addressable = false;
    if (!paths.contains("relay"))
        record.info().Relay2 = HBDRelay();
    const QByteArray reply = HomeBridgeRoad::findReply(record, direct ? "DEVICE_TYPE=pro" : "");
    road.registry.setAnswerFor("HOMEBRIDGE_FIND: NAME=" + address.toUtf8() + "\r\n",
                               RegistryAnswer::reply(reply));
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    // Signals are read from a descriptor in the event loop: blocked before any thread starts.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1})
        sigaddset(&handled, signal);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    const int signalDescriptor = signalfd(-1, &handled, SFD_CLOEXEC);

    QCoreApplication application(argc, argv);
    // The stand-ins keep quiet; Qt's own warnings go to standard error, not into a log folder.
    qInstallMessageHandler(nullptr);
    Log::Logger(QString()).setLevel(Log::NONE);
    QNetworkProxyFactory::setApplicationProxyFactory(new LoopbackOnlyProxyFactory);
    const QStringList arguments = application.arguments().mid(1);
    HomeBridgeRoad road;
    if (arguments.isEmpty() || signalDescriptor < 0 ||
        !road.start(QDir(arguments[0]).absolutePath()))
        return std::fputs(kUsage, stderr), 2;
    road.registry.setDefaultAnswer(RegistryAnswer::reply("FAILED_NOT_EXISTS\r\n"));
    for (const QString &account : arguments.mid(1)) {
        if (!serve(road, account))
            return std::fputs(kUsage, stderr), 2;
    }
    road.phone.pop3()->setGreeting("+OK sandbox POP3 ready\r\n");
    road.phone.smtp()->setGreeting("220 sandbox ESMTP ready\r\n");
    road.phone.smtp()->setMode(TlsTestService::kEcho);
    road.phone.pmtp()->setGreeting("+OK sandbox PMTP ready\r\n");

    QSocketNotifier notifier(signalDescriptor, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [&] {
        signalfd_siginfo info;
        if (read(signalDescriptor, &info, sizeof info) != sizeof info)
            return;
        if (info.ssi_signo == SIGUSR1)
            road.relay.dropNewest();
        else
            QCoreApplication::quit();
    });
    const auto at = [](const auto &server) {
        return server.address().toString() + ':' + QString::number(server.port());
    };
    const QJsonObject started{{"config", QDir(arguments[0]).absoluteFilePath("config.cfg")},
                              {"external_ip_url", road.echo.url()},
                              {"registry", at(road.registry)},
                              {"lan", at(road.lan)},
                              {"internet", at(road.internet)},
                              {"relay", at(road.relay)}};
    std::printf("%s\n", QJsonDocument(started).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return QCoreApplication::exec();
}
