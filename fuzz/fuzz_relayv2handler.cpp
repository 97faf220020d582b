// Fuzz target for the relay V2 connection handler: whatever a peer sends must neither crash the
// handler nor leave channels behind.
//
// Input: byte 0 picks the start (bit 0: the peer shakes hands first, bit 1: a carried connection
// is requested before the bytes arrive, bits 2-7: the size of the chunks the bytes arrive in, 0
// for all at once); the rest is what the peer sends. After the bytes the link is closed, and the
// checks are that closed() came at most once and that no channel is left with the handler.

#include "log/logger.h"
#include "relay/bufferedchannel.h"
#include "relay/v2/handler.h"

#include <QCoreApplication>
#include <QIODevice>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

// A peer's byte stream: reads come from the input given so far, writes are counted and dropped.
class FuzzDevice : public QIODevice
{
public:
    void give(const QByteArray &bytes) { m_input += bytes; }
    qint64 written() const { return m_written; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return m_input.size() - m_offset + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_input.size() - m_offset);
        memcpy(data, m_input.constData() + m_offset, size_t(n));
        m_offset += int(n);
        return n;
    }
    qint64 writeData(const char *, qint64 maxSize) override
    {
        m_written += maxSize;
        return maxSize;
    }

private:
    QByteArray m_input;
    int m_offset = 0;
    qint64 m_written = 0;
};

QCoreApplication *application()
{
    static int argc = 1;
    static char name[] = "fuzz_relayv2handler";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = [] {
        auto *created = new QCoreApplication(argc, argv);
        // Every rejected input would otherwise print its error lines.
        // The handler's parts log below "Relay::V2::Handler", so its level reaches them.
        for (const char *logger : {"Relay::V2::Handler", "Relay::BufferedChannel"})
            Log::Logger(logger).setLevel(Log::NONE);
        return created;
    }();
    return app;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    application();
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const int chunk = mode >> 2;

    FuzzDevice device;
    device.open(QIODevice::ReadWrite);
    {
        Relay::V2::Handler handler(&device);
        int closedCount = 0;
        QObject::connect(&handler, &Relay::Connection::closed, [&closedCount] { ++closedCount; });
        // The local side of a requested connection, open as a socket wrapper keeps it.
        std::unique_ptr<Relay::BufferedChannel> local;
        if (mode & 1) {
            device.give("HELLO: 2\n");
            Q_EMIT device.readyRead();
        }
        if (mode & 2) {
            auto pair = Relay::BufferedChannel::makePair(262144);
            local = std::move(pair.first);
            local->open();
            handler.connectTo(7, "POP3", pair.second.release());
        }
        for (int offset = 0; offset < input.size();) {
            const int length = chunk == 0 ? input.size() : qMin(chunk, input.size() - offset);
            device.give(input.mid(offset, length));
            Q_EMIT device.readyRead();
            offset += length;
            // What the handler hands to the local side is taken, as a wrapper would.
            if (local) {
                while (!local->peek().isEmpty())
                    local->recv();
            }
        }
        QCoreApplication::sendPostedEvents();
        handler.close();
        if (closedCount != 1 || handler.isReady() || handler.carriedConnectionCount() != 0 ||
            handler.openRequestCount() != 0)
            abort();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
