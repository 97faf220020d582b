// Fuzz target for the gzip decoder.
//
// Input: byte 0 gives the size of the chunks the rest is fed in (0: all at once); the rest is the
// received body. Checks that the chunks do not change the outcome (state and decoded bytes) from
// feeding the body whole, that the decoder never inflates more than one byte past its limit and
// keeps no output once it has failed or passed the limit.

#include "core/gzipdecoder.h"

#include "fuzzcheck.h"
#include <QByteArray>

#include <cstdint>

namespace {

constexpr int kLimit = 4096;

void checkDecoder(const GzipDecoder &decoder)
{
    check(decoder.inflatedSize() <= kLimit + 1, "inflated past the limit");
    check(decoder.data().size() <= kLimit, "output above the limit");
    if (decoder.state() == GzipDecoder::kFailed || decoder.state() == GzipDecoder::kTooLarge)
        check(decoder.data().isEmpty(), "output kept after a failure");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const int chunk = data[0] == 0 ? int(size) : data[0];
    const QByteArray body(reinterpret_cast<const char *>(data) + 1, int(size) - 1);

    GzipDecoder whole(kLimit);
    whole.feed(body);
    checkDecoder(whole);

    GzipDecoder pieces(kLimit);
    for (int pos = 0; pos < body.size(); pos += chunk) {
        pieces.feed(body.mid(pos, chunk));
        checkDecoder(pieces);
    }
    check(pieces.state() == whole.state(), "the chunks change the state");
    check(pieces.data() == whole.data(), "the chunks change the output");
    return 0;
}
