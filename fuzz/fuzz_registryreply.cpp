// Registry reply lines come from the network: every parser must cope with any text.

#include "homebridge/registryreplyparser.h"
#include "homebridge/registryrequesttype.h"
#include "log/logger.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (Log::Logger("").setLevel(Log::NONE), true);
    (void)quiet;

    const QString reply = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    using TolvaneMail::RegistryReplyParser;

    const auto code = RegistryReplyParser::replyCode(reply);
    if (code < TolvaneMail::kReplyOk || code > TolvaneMail::kReplyInvalidCommand)
        std::abort();

    const QVariantMap fields = RegistryReplyParser::parse(TolvaneMail::kHomeBridgeFind, reply).toMap();
    // A lapse that overflowed must read as the largest value, never as a negative one.
    if (fields.contains(QStringLiteral("LAPSED")) && fields.value(QStringLiteral("LAPSED")).toInt() < 0)
        std::abort();
    const QString hipaa = fields.value(QStringLiteral("HIPAA")).toString();
    if (!hipaa.isNull() && hipaa != QLatin1String("true") && hipaa != QLatin1String("false"))
        std::abort();
    if (!RegistryReplyParser::parse(TolvaneMail::kGetDomainUserInfo, reply).toMap().isEmpty())
        std::abort();

    RegistryReplyParser::getDomainUserKey(reply);
    RegistryReplyParser::getIP(reply);
    RegistryReplyParser::getDomainInfo(reply);

    QList<TolvaneMail::RelayParameters> relays;
    RegistryReplyParser::createRelayList(reply, relays);
    for (const auto &relay : relays) {
        if (relay.port == 0 || relay.capacity == 0 || relay.ip.isEmpty())
            std::abort();
    }
    return 0;
}
