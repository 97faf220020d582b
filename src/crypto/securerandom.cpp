#include "crypto/securerandom.h"

#include <QFile>
#include <openssl/rand.h>

namespace TolvaneMail {

QByteArray SecureRandom::getSecureRandomData()
{
    QByteArray data;
    QFile device(QStringLiteral("/dev/urandom"));
    if (device.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        while (data.size() < kSeedSize) {
            const QByteArray chunk = device.read(kSeedSize - data.size());
            if (chunk.isEmpty())
                break;
            data += chunk;
        }
        data.resize(kSeedSize);
    } else {
        data.resize(kSeedSize);
        RAND_bytes(reinterpret_cast<unsigned char *>(data.data()), kSeedSize);
    }
    return data;
}

void SecureRandom::secureInitOpensslRand()
{
    const QByteArray seed = getSecureRandomData();
    RAND_seed(seed.constData(), seed.size());
}

} // namespace TolvaneMail
