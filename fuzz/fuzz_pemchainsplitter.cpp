// Fuzz target for the PEM certificate-chain splitter.
//
// Input: PEM text as it might come from a file. Checks that only valid certificates come back,
// that the flag and the list agree whether or not the flag is asked for, and that a chain read
// without fault reads back the same after it is written out again.

#include "core/extsslsocket.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include "fuzzcheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    const QByteArray pem(reinterpret_cast<const char *>(data), int(size));
    bool ok = false;
    const QList<QSslCertificate> certificates = ExtSslSocket::extractCertificatesFromPemChain(pem, &ok);
    for (const QSslCertificate &certificate : certificates)
        check(!certificate.isNull(), "a null certificate in the list");
    check(ExtSslSocket::extractCertificatesFromPemChain(pem) == certificates,
          "the result depends on the flag");

    if (ok && !certificates.isEmpty()) {
        QByteArray written;
        for (const QSslCertificate &certificate : certificates)
            written += certificate.toPem();
        bool rereadOk = false;
        check(ExtSslSocket::extractCertificatesFromPemChain(written, &rereadOk) == certificates,
              "a written chain reads back differently");
        check(rereadOk, "a written chain reads back with a fault");
    }
    return 0;
}
