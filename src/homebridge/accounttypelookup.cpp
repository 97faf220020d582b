#include "homebridge/accounttypelookup.h"

#include "core/maildomain.h"
#include "homebridge/registryaccessmanager.h"
#include "homebridge/registryconstants.h"
#include "homebridge/registryreply.h"
#include "homebridge/registryreplyparser.h"
#include "log/logger.h"

#include <QHash>
#include <memory>
#include <mutex>

namespace TolvaneMail {

namespace {

const Log::Logger kLog("TolvaneMail::AccountTypeLookup");

// The tiers of positive registry answers, for the whole run. The lock is held only around each
// access, never across a registry exchange, so lookups of different addresses run side by side.
struct TierCache
{
    std::mutex mutex;
    QHash<QString, AccountType> tiers;
};

TierCache &tierCache()
{
    // Never destroyed: a worker thread may still look up while the process exits.
    static TierCache *const cache = new TierCache;
    return *cache;
}

// The tier a positive HOMEBRIDGE_FIND reply gives; the parser has lower-cased both fields.
AccountType tierOfFoundAddress(RegistryRequestType type, const QString &replyText)
{
    const QVariantMap fields = RegistryReplyParser::parse(type, replyText).toMap();
    const QString deviceType =
        fields.value(RegistryConstants::kDeviceType, QStringLiteral("unknown")).toString();
    const QString hipaa =
        fields.value(RegistryConstants::kHipaa, QStringLiteral("false")).toString();
    if (deviceType != QLatin1String("pro"))
        return kAccountDynamic;
    return hipaa == QLatin1String("true") ? kAccountHipaa : kAccountPro;
}

QString domainOf(const QString &address)
{
    return address.mid(address.lastIndexOf(QLatin1Char('@')) + 1);
}

} // namespace

AccountType AccountTypeLookup::checkAccountType(const QString &address)
{
    kLog.trace() << Q_FUNC_INFO;
    TierCache &cache = tierCache();
    {
        const std::lock_guard<std::mutex> lock(cache.mutex);
        const auto cached = cache.tiers.constFind(address);
        if (cached != cache.tiers.constEnd())
            return cached.value();
    }

    QVariantMap data;
    data.insert(RegistryConstants::kName, address);
    const std::unique_ptr<RegistryReply> reply(RegistryAccessManager().sendRequest(
        RegistryRequest(kHomeBridgeFind, data), kRegistryBlocking));

    AccountType tier = kAccountUndetermined;
    switch (reply->replyCode()) {
    case kReplyOk: {
        tier = tierOfFoundAddress(reply->requestType(), reply->getReply());
        const std::lock_guard<std::mutex> lock(cache.mutex);
        cache.tiers.insert(address, tier);
        break;
    }
    case kReplyFailedNotExists:
        // The registry's own answer: nobody has this address. Not remembered.
        if (domainOf(address) != QLatin1String(kMailDomain))
            tier = kAccountExternal;
        break;
    default:
        // No usable answer; the next call asks again.
        break;
    }
    kLog.debug() << "Tier of" << address << ":" << tier
                 << "registry reply code:" << reply->replyCode();
    return tier;
}

bool AccountTypeLookup::isProAccount(const QString &address)
{
    kLog.trace() << Q_FUNC_INFO;
    return checkAccountType(address) == kAccountPro;
}

bool AccountTypeLookup::isHipaaAccount(const QString &address)
{
    kLog.trace() << Q_FUNC_INFO;
    return checkAccountType(address) == kAccountHipaa;
}

bool AccountTypeLookup::isTolvaneAccount(const QString &address)
{
    kLog.trace() << Q_FUNC_INFO;
    if (address.endsWith(QLatin1String(kMailDomain)))
        return true;
    const AccountType tier = checkAccountType(address);
    return tier == kAccountPro || tier == kAccountHipaa;
}

bool AccountTypeLookup::isTolvaneMobileAccount(const QString &address)
{
    kLog.trace() << Q_FUNC_INFO;
    if (!address.endsWith(QLatin1Char('@') + QLatin1String(kMailDomain)))
        return false;
    return checkAccountType(address) == kAccountDynamic;
}

} // namespace TolvaneMail
