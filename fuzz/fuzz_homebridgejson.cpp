// HomeBridge records are published by other people's devices and read on worker threads: the
// JSON reader and the record reader must cope with any text, and what the writer produces from
// a parsed value must read back to the same text. The last holds only for text that UTF-8 can
// carry: the reader takes \u escapes and a stray half of a character outside the BMP as lone
// UTF-16 surrogates, which the writer's UTF-8 replaces with "?".

#include "fuzzcheck.h"
#include "homebridge/homebridgedata.h"
#include "homebridge/json.h"
#include "log/logger.h"

#include <QString>
#include <cstddef>
#include <cstdint>

namespace {

// Whether every string and key in a parsed value survives a round trip through UTF-8.
bool survivesUtf8(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
        return QString::fromUtf8(value.toString().toUtf8()) == value.toString();
    case QMetaType::QVariantList:
        for (const QVariant &item : value.toList()) {
            if (!survivesUtf8(item))
                return false;
        }
        return true;
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!survivesUtf8(it.key()) || !survivesUtf8(it.value()))
                return false;
        }
        return true;
    }
    default:
        return true;
    }
}

} // namespace

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
        check(written, "a parsed value is written");
        bool reparsed = false;
        const QVariant again =
            Json::parse(QString::fromUtf8(json.constData(), json.size()), reparsed);
        check(reparsed, "the written text reads back");
        check(!survivesUtf8(value) || Json::serialize(again) == json,
              "the written text reads back to the same value");
    }

    bool recordOk = !parsed;
    const HomeBridgeData record = HomeBridgeData::fromJson(text, &recordOk);
    check(recordOk == parsed, "the record reader parses what the JSON reader parses");

    // The writer puts the web server under its proper key, which the reader does not take.
    HomeBridgeData expected = record;
    expected.settings().WebServer = HBDServiceSettings();
    const QByteArray recordJson = record.json();
    bool backOk = false;
    const HomeBridgeData back = HomeBridgeData::fromJson(
        QString::fromUtf8(recordJson.constData(), recordJson.size()), &backOk);
    check(backOk && back.json() == expected.json(),
          "a written record reads back to the same record");
    return 0;
}
