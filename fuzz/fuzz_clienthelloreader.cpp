// Fuzz target for the ClientHello server-name reader.
//
// Input: the first bytes a TLS client sends. Checks that the reader never reads outside them,
// that a name is only found in a complete record and is made of the input's bytes, and that bytes
// behind a complete record change nothing.

#include "core/clienthelloreader.h"

#include <QByteArray>
#include <QString>
#include "fuzzcheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 70000)
        return 0;
    // Raw data over the fuzzer's own buffer, so any read past its end is caught.
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const bool ready = checkSSLPackageReady(bytes);
    const QString name = getSNI(bytes);

    if (!name.isEmpty()) {
        check(ready, "a name from an incomplete record");
        check(bytes.contains(name.toLatin1()), "a name that is not in the input");
    }
    if (size == 0)
        check(!ready, "no bytes reported ready");
    if (ready && size > 0 && data[0] == 22) {
        const QByteArray followed = QByteArray(reinterpret_cast<const char *>(data), int(size))
            + QByteArray("\x16\x03\x01\x00\x04" "abcd", 9);
        check(checkSSLPackageReady(followed), "more bytes made a record incomplete");
        check(getSNI(followed) == name, "bytes after the record changed the name");
    }
    return 0;
}
