#pragma once

#include <QByteArray>
#include <QCryptographicHash>

namespace TestSupport {

// Deterministic test payloads and their digests.
class TestBytes
{
public:
    // `size` pseudo-random bytes (xorshift32), the same for the same seed; every byte value occurs.
    static QByteArray make(int size, quint32 seed = 1)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        quint32 state = seed * 2654435761u + 1;
        for (char &byte : bytes) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = char(state >> 24);
        }
        return bytes;
    }
    // SHA-256 of the bytes, as raw 32 bytes.
    static QByteArray sha256(const QByteArray &bytes)
    {
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    }
};

} // namespace TestSupport
