#include "homebridge/registryaccessmanager.h"

#include "homebridge/registryreply.h"
#include "log/logger.h"

namespace TolvaneMail {

namespace {
const Log::Logger kLog("TolvaneMail::RegistryAccessManager");
}

RegistryReply *RegistryAccessManager::sendRequest(const RegistryRequest &request, RegistryMode mode)
{
    kLog.trace(this) << "RegistryReply* TolvaneMail::RegistryAccessManager::sendRequest(const "
                        "RegistryRequest&, RegistryMode)";
    auto reply = std::make_unique<RegistryReply>(mode);
    if (kLog.isTrace())
        kLog.trace(this) << "sending request" << request.requestString();
    reply->sendRequest(request);
    // The caller owns the reply from here on.
    return reply.release();
}

} // namespace TolvaneMail
