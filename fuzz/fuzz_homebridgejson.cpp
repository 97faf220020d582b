// HomeBridge records are published by other people's devices and read on worker threads: the
// JSON reader and the record reader must cope with any text, and what the writer produces from
// a parsed value must read back to the same text.

#include "homebridge/homebridgedata.h"
#include "homebridge/json.h"
#include "log/logger.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (Log::Logger("").setLevel(Log::NONE), true);
    (void)quiet;

    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));

    bool parsed = false;
    const QVariant value = Json::parse(text, parsed);
    if (parsed) {
        bool written = false;
        const QByteArray json = Json::serialize(value, written);
        if (!written)
            std::abort();
        bool reparsed = false;
        const QVariant again = Json::parse(QString::fromUtf8(json.constData(), json.size()), reparsed);
        if (!reparsed || Json::serialize(again) != json)
            std::abort();
    }

    bool recordOk = !parsed;
    const HomeBridgeData record = HomeBridgeData::fromJson(text, &recordOk);
    if (recordOk != parsed)
        std::abort();

    // The writer puts the web server under its proper key, which the reader does not take.
    HomeBridgeData expected = record;
    expected.settings().WebServer = HBDServiceSettings();
    const QByteArray recordJson = record.json();
    bool backOk = false;
    const HomeBridgeData back = HomeBridgeData::fromJson(
        QString::fromUtf8(recordJson.constData(), recordJson.size()), &backOk);
    if (!backOk || back.json() != expected.json())
        std::abort();
    return 0;
}
