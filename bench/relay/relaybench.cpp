// The relay benchmark's one executable. Each mode is one process of the benchmark:
//   relay   --listen ADDR:PORT                  a relay server (every link under one router)
//   phone   --relay ADDR:PORT --service NAME=PORT...   the serving end; prints "session=<id>"
//   client  --relay ADDR:PORT --session ID --service NAME...   the program's side; prints the
//                                                forward ports as "NAME=<port>" and "ready"
//   sink    --listen PORT                        reads an announced length of bytes, answers
//                                                the count
//   echo    --listen PORT                        writes back what it reads
//   copy    --listen PORT --to PORT              a plain user-space TCP copy forwarder
//   load    --port PORT --conns N --bytes B      N parallel streams of B bytes into a sink;
//                                                prints "mibps=<x>"
//   latency --port PORT --count K                64-byte round trips on an echo service;
//                                                prints "p50_us=<x> p99_us=<y>"
//   hold    --port PORT --conns N --bytes B      opens N echo connections, moves B bytes
//                                                through each, prints "held" and keeps them
// Everything binds and connects to loopback addresses only.

#include "relay/localservice.h"
#include "relay/router.h"
#include "relay/v2/connectionmanager.h"
#include "relay/v2/handler.h"
#include "relay/v2/sessionmanager.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::map<std::string, std::vector<std::string>> parseOptions(int argc, char **argv)
{
    std::map<std::string, std::vector<std::string>> options;
    for (int i = 2; i + 1 < argc; i += 2)
        options[argv[i]].push_back(argv[i + 1]);
    return options;
}

std::string option(const std::map<std::string, std::vector<std::string>> &options,
                   const std::string &name, const std::string &fallback = std::string())
{
    const auto it = options.find(name);
    return it == options.end() || it->second.empty() ? fallback : it->second.front();
}

void splitAddress(const std::string &text, QHostAddress *address, quint16 *port)
{
    const auto colon = text.rfind(':');
    *address = QHostAddress(QString::fromStdString(text.substr(0, colon)));
    *port = quint16(std::stoi(text.substr(colon + 1)));
}

// ---- plain sockets ----------------------------------------------------------------------------

int listenOn(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 256) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    return fd;
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool readExactly(int fd, char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

template <typename Serve>
int serveForever(quint16 port, Serve serve)
{
    const int server = listenOn(port);
    for (;;) {
        const int fd = ::accept(server, nullptr, nullptr);
        if (fd < 0)
            continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread([fd, serve] {
            serve(fd);
            ::close(fd);
        }).detach();
    }
}

int runSink(quint16 port)
{
    // The stream announces its length first: a half-closed TCP connection is not carried by
    // every forward.
    return serveForever(port, [](int fd) {
        std::vector<char> buffer(1 << 16);
        quint64 length = 0;
        if (!readExactly(fd, reinterpret_cast<char *>(&length), sizeof length))
            return;
        quint64 total = 0;
        while (total < length) {
            const ssize_t n =
                ::read(fd, buffer.data(), size_t(std::min<quint64>(length - total, buffer.size())));
            if (n <= 0)
                break;
            total += quint64(n);
        }
        writeAll(fd, reinterpret_cast<const char *>(&total), sizeof total);
    });
}

int runEcho(quint16 port)
{
    return serveForever(port, [](int fd) {
        std::vector<char> buffer(1 << 16);
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0 || !writeAll(fd, buffer.data(), size_t(n)))
                break;
        }
    });
}

int runCopy(quint16 port, quint16 to)
{
    return serveForever(port, [to](int fd) {
        const int upstream = connectTo(to);
        auto pump = [](int from, int into) {
            std::vector<char> buffer(1 << 16);
            for (;;) {
                const ssize_t n = ::read(from, buffer.data(), buffer.size());
                if (n <= 0 || !writeAll(into, buffer.data(), size_t(n)))
                    break;
            }
            ::shutdown(into, SHUT_WR);
        };
        std::thread back(pump, upstream, fd);
        pump(fd, upstream);
        back.join();
        ::close(upstream);
    });
}

int runLoad(quint16 port, int connections, quint64 bytes)
{
    std::vector<std::thread> threads;
    std::atomic<bool> ok{true};
    const auto start = Clock::now();
    for (int i = 0; i < connections; ++i) {
        threads.emplace_back([&] {
            const int fd = connectTo(port);
            std::vector<char> block(1 << 16, 'x');
            if (!writeAll(fd, reinterpret_cast<const char *>(&bytes), sizeof bytes))
                ok = false;
            quint64 left = bytes;
            while (left > 0) {
                const size_t n = size_t(std::min<quint64>(left, block.size()));
                if (!writeAll(fd, block.data(), n)) {
                    ok = false;
                    break;
                }
                left -= n;
            }
            quint64 received = 0;
            if (!readExactly(fd, reinterpret_cast<char *>(&received), sizeof received) ||
                received != bytes)
                ok = false;
            ::close(fd);
        });
    }
    for (auto &thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "load: a stream did not arrive whole\n");
        return 1;
    }
    std::printf("mibps=%.1f\n", double(bytes) * connections / (1024.0 * 1024.0) / seconds);
    return 0;
}

int runLatency(quint16 port, int count)
{
    const int fd = connectTo(port);
    char message[64];
    std::memset(message, 'p', sizeof message);
    std::vector<double> samples;
    samples.reserve(size_t(count));
    for (int i = 0; i < count + 50; ++i) {
        const auto start = Clock::now();
        char answer[64];
        if (!writeAll(fd, message, sizeof message) || !readExactly(fd, answer, sizeof answer)) {
            std::fprintf(stderr, "latency: echo failed\n");
            return 1;
        }
        if (i >= 50) // the first rounds warm up
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ::close(fd);
    std::sort(samples.begin(), samples.end());
    std::printf("p50_us=%.0f p99_us=%.0f\n", samples[samples.size() / 2],
                samples[samples.size() * 99 / 100]);
    return 0;
}

int runHold(quint16 port, int connections, quint64 bytes)
{
    std::vector<int> fds;
    std::vector<char> block(1 << 15, 'h');
    for (int i = 0; i < connections; ++i)
        fds.push_back(connectTo(port));
    // Every connection carries data both ways, so its buffers are in use.
    std::vector<std::thread> threads;
    for (int fd : fds) {
        threads.emplace_back([fd, bytes, &block] {
            std::thread reader([fd, bytes] {
                std::vector<char> buffer(1 << 16);
                quint64 left = bytes;
                while (left > 0) {
                    const ssize_t n = ::read(fd, buffer.data(),
                                             size_t(std::min<quint64>(left, buffer.size())));
                    if (n <= 0)
                        break;
                    left -= quint64(n);
                }
            });
            quint64 left = bytes;
            while (left > 0) {
                const size_t n = size_t(std::min<quint64>(left, block.size()));
                if (!writeAll(fd, block.data(), n))
                    break;
                left -= n;
            }
            reader.join();
        });
    }
    for (auto &thread : threads)
        thread.join();
    std::printf("held\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}

// ---- relay processes ----------------------------------------------------------------------------

int runRelay(int argc, char **argv, const std::string &listen)
{
    QCoreApplication app(argc, argv);
    QHostAddress address;
    quint16 port = 0;
    splitAddress(listen, &address, &port);
    Relay::Router router;
    QTcpServer server;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            socket->setParent(nullptr);
            socket->setReadBufferSize(1024 * 1024);
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            auto *handler = new Relay::V2::Handler(socket, nullptr);
            router.addConnection(handler);
            QObject::connect(socket, &QTcpSocket::disconnected, handler,
                             &Relay::V2::Handler::close);
            QObject::connect(handler, &Relay::Connection::closed, handler, [socket, handler] {
                handler->deleteLater();
                socket->deleteLater();
            });
        }
    });
    if (!server.listen(address, port)) {
        std::fprintf(stderr, "relay: cannot listen on %s\n", listen.c_str());
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    return app.exec();
}

int runPhone(int argc, char **argv, const std::string &relay,
             const std::vector<std::string> &services)
{
    QCoreApplication app(argc, argv);
    QHostAddress address;
    quint16 port = 0;
    splitAddress(relay, &address, &port);
    Relay::SessionManager manager;
    int type = 0;
    for (const std::string &service : services) {
        const auto equals = service.find('=');
        const QByteArray name = QByteArray::fromStdString(service.substr(0, equals));
        manager.addLocalForward(name, quint16(std::stoi(service.substr(equals + 1))));
        manager.addLocalForwardConnectionType(name, ++type);
    }
    QObject::connect(&manager, &Relay::SessionManager::connected, [](qulonglong sessionId) {
        std::printf("session=%llu\n", sessionId);
        std::fflush(stdout);
    });
    QObject::connect(&manager, &Relay::SessionManager::failed, [] { std::exit(1); });
    QObject::connect(&manager, &Relay::SessionManager::disconnected, [] { std::exit(0); });
    manager.connectToRelay(address, port);
    return app.exec();
}

int runClient(int argc, char **argv, const std::string &relay, quint64 sessionId,
              const std::vector<std::string> &services)
{
    QCoreApplication app(argc, argv);
    QHostAddress address;
    quint16 port = 0;
    splitAddress(relay, &address, &port);
    Relay::ConnectionManager manager;
    QObject::connect(&manager, &Relay::ConnectionManager::connected, [&] {
        for (const std::string &service : services) {
            const quint16 forward = manager.addForward(sessionId, QByteArray::fromStdString(service));
            std::printf("%s=%u\n", service.c_str(), unsigned(forward));
        }
        std::printf("ready\n");
        std::fflush(stdout);
    });
    QObject::connect(&manager, &Relay::ConnectionManager::failed, [] { std::exit(1); });
    QObject::connect(&manager, &Relay::ConnectionManager::disconnected, [] { std::exit(0); });
    manager.connectToRelay(address, port);
    return app.exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MODE [--option value]...\n", argv[0]);
        return 2;
    }
    // The event dispatcher the program's start-up chooses.
    qputenv("QT_NO_GLIB", "1");
    const std::string mode = argv[1];
    const auto options = parseOptions(argc, argv);
    const auto number = [&](const char *name, const char *fallback) {
        return std::stoull(option(options, name, fallback));
    };
    const auto list = [&](const char *name) {
        const auto it = options.find(name);
        return it == options.end() ? std::vector<std::string>() : it->second;
    };
    if (mode == "sink")
        return runSink(quint16(number("--listen", "0")));
    if (mode == "echo")
        return runEcho(quint16(number("--listen", "0")));
    if (mode == "copy")
        return runCopy(quint16(number("--listen", "0")), quint16(number("--to", "0")));
    if (mode == "load")
        return runLoad(quint16(number("--port", "0")), int(number("--conns", "1")),
                       number("--bytes", "1048576"));
    if (mode == "latency")
        return runLatency(quint16(number("--port", "0")), int(number("--count", "2000")));
    if (mode == "hold")
        return runHold(quint16(number("--port", "0")), int(number("--conns", "1")),
                       number("--bytes", "1048576"));
    if (mode == "relay")
        return runRelay(argc, argv, option(options, "--listen"));
    if (mode == "phone")
        return runPhone(argc, argv, option(options, "--relay"), list("--service"));
    if (mode == "client")
        return runClient(argc, argv, option(options, "--relay"), number("--session", "0"),
                         list("--service"));
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
