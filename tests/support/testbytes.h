#pragma once

#include <QByteArray>

namespace TestSupport {

// Deterministic test payloads and their digests.
class TestBytes
{
public:
    // `size` pseudo-random bytes, the same for the same seed (every byte value occurs).
    static QByteArray make(int size, quint32 seed = 1);
    // SHA-256 of the bytes, as raw 32 bytes.
    static QByteArray sha256(const QByteArray &bytes);
};

} // namespace TestSupport
