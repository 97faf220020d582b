#pragma once

#include <QByteArray>
#include <memory>

struct z_stream_s;

// Incremental decoder of gzip data (one member after another), fed the bytes as they arrive. The
// decoded output is capped: inflating stops at the first byte past the limit, so a small input
// that unpacks to a huge output never costs more than the limit in memory.
class GzipDecoder
{
public:
    enum State {
        kRunning,  // inside a member, or nothing fed yet: more input is needed
        kEnded,    // everything fed so far makes whole members
        kFailed,   // the input is not gzip data, or bytes that begin no member follow one
        kTooLarge, // the decoded output would pass the limit
    };

    explicit GzipDecoder(int limit);
    ~GzipDecoder();
    GzipDecoder(const GzipDecoder &) = delete;
    GzipDecoder &operator=(const GzipDecoder &) = delete;

    // Decodes the chunk; does nothing once the decoder has failed or passed the limit.
    void feed(const QByteArray &chunk);

    State state() const { return m_state; }
    // The output decoded so far; empty once the decoder has failed or passed the limit.
    QByteArray data() const { return m_data; }
    // Bytes inflated so far, the one that shows the limit passed included.
    qint64 inflatedSize() const { return m_inflatedSize; }

private:
    void stop(State state);

    std::unique_ptr<z_stream_s> m_stream;
    const int m_limit;
    State m_state = kRunning;
    QByteArray m_data;
    qint64 m_inflatedSize = 0;
};
