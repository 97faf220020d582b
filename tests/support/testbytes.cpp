#include "support/testbytes.h"

#include <QCryptographicHash>

namespace TestSupport {

QByteArray TestBytes::make(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        // xorshift32: cheap and well spread.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

QByteArray TestBytes::sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace TestSupport
