#include "core/gzipdecoder.h"

#include <zlib.h>

namespace {
// Window bits for inflate: the largest window, plus 16 for gzip framing (header and trailer,
// whose CRC and length inflate checks) and nothing else.
constexpr int kGzipWindowBits = 16 + MAX_WBITS;
constexpr int kOutputChunk = 16 * 1024;
} // namespace

GzipDecoder::GzipDecoder(int limit) : m_stream(std::make_unique<z_stream>()), m_limit(limit)
{
    if (inflateInit2(m_stream.get(), kGzipWindowBits) != Z_OK) {
        m_stream.reset();
        m_state = kFailed;
    }
}

GzipDecoder::~GzipDecoder()
{
    if (m_stream)
        inflateEnd(m_stream.get());
}

void GzipDecoder::feed(const QByteArray &chunk)
{
    if (m_state == kFailed || m_state == kTooLarge)
        return;
    z_stream &stream = *m_stream;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(chunk.constData()));
    stream.avail_in = uInt(chunk.size());
    Bytef out[kOutputChunk];
    for (;;) {
        if (m_state == kEnded) {
            if (stream.avail_in == 0)
                break;
            // Bytes after a whole member must begin the next one.
            inflateReset(&stream);
            m_state = kRunning;
        }
        // Room for one byte more than the limit allows, which shows that the output passes it.
        stream.next_out = out;
        stream.avail_out = uInt(qMin<qint64>(kOutputChunk, qint64(m_limit) - m_data.size() + 1));
        const int result = inflate(&stream, Z_NO_FLUSH);
        const int produced = int(stream.next_out - out);
        m_inflatedSize += produced;
        if (m_data.size() + produced > m_limit)
            return stop(kTooLarge);
        m_data.append(reinterpret_cast<const char *>(out), produced);
        if (result == Z_STREAM_END)
            m_state = kEnded;
        else if (result == Z_BUF_ERROR) // no progress possible: the chunk is used up
            break;
        else if (result != Z_OK)
            return stop(kFailed);
    }
    stream.next_in = nullptr;
    stream.avail_in = 0;
}

void GzipDecoder::stop(State state)
{
    m_state = state;
    m_data = QByteArray();
}
