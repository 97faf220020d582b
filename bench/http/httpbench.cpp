// Memory benchmark of BlockingHTTPTool::sget: the growth of the process's peak resident size
// (getrusage ru_maxrss before and after the call) for a plain 1 KiB answer and for a gzip bomb
// (about 1 MiB of gzip that unpacks to 1 GiB of zero bytes), both served on loopback by the
// tests' HTTP stand-in in this process. The peak only grows, so the plain answer is measured
// first, after one unmeasured call that sets up Qt's network stack. Prints, per answer,
// peak_rss_growth_kib_<answer>=<KiB>, with the result's size and the call's time.
#include "core/blockinghttptool.h"
#include "log/logger.h"
#include "support/httpstubserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int kTimeoutMs = 60000;

long peakRssKib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // KiB on Linux
}

} // namespace

int main(int argc, char **argv)
{
    using TestSupport::HttpStubServer;
    QCoreApplication application(argc, argv);
    Log::Logger(QString()).setLevel(Log::NONE);
    HttpStubServer server;
    if (!server.listenHttp()) {
        std::fprintf(stderr, "The stand-in did not start\n");
        return 1;
    }
    HttpStubServer::Response bomb =
        HttpStubServer::Response::ok(HttpStubServer::gzip(QByteArray(1 << 20, '\0'), 1024));
    bomb.headers = "Content-Encoding: gzip\r\n";
    const HttpStubServer::Response plain = HttpStubServer::Response::ok(QByteArray(1024, 'x'));
    std::printf("gzip_bomb_bytes=%d\n", bomb.body.size());

    server.enqueue(plain);
    BlockingHTTPTool::sget(server.url(), kTimeoutMs);
    const struct
    {
        const char *name;
        HttpStubServer::Response response;
    } answers[] = {{"plain_1k", plain}, {"gzip_bomb", bomb}};
    for (const auto &answer : answers) {
        server.enqueue(answer.response);
        const long before = peakRssKib();
        QElapsedTimer clock;
        clock.start();
        const QByteArray result = BlockingHTTPTool::sget(server.url(), kTimeoutMs);
        const qint64 elapsed = clock.elapsed();
        std::printf("peak_rss_growth_kib_%s=%ld result_bytes_%s=%d ms_%s=%lld\n", answer.name,
                    peakRssKib() - before, answer.name, result.size(), answer.name,
                    static_cast<long long>(elapsed));
        std::fflush(stdout);
    }
    return 0;
}
