#pragma once

#include <QByteArray>

namespace TolvaneMail {

// Secure random bytes and the seeding of OpenSSL's generator.
class SecureRandom
{
public:
    // 256 bytes read from /dev/urandom; from RAND_bytes when the device cannot be opened.
    static QByteArray getSecureRandomData();
    // Mixes 256 bytes of getSecureRandomData() into OpenSSL's generator.
    static void secureInitOpensslRand();

    static constexpr int kSeedSize = 256;
};

} // namespace TolvaneMail
