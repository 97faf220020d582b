#pragma once

#include <QLatin1String>

// Keys of registry request maps and of parsed replies. A key is not always the word that stands
// on the wire.
namespace TolvaneMail {
namespace RegistryConstants {

const QLatin1String kName("NAME");
const QLatin1String kEmail("EMAIL");
const QLatin1String kData("DATA");
const QLatin1String kPassword("PASSWORD");
const QLatin1String kVersion("VERSION");
const QLatin1String kDomain("DOMAIN");
const QLatin1String kIP("IP");
const QLatin1String kPort("PORT");
const QLatin1String kCheckingCode("CHECKING_CODE");
const QLatin1String kExternalIP("EXTERNAL_IP");
const QLatin1String kSSL("SSL");
const QLatin1String kDeviceType("DEVICE_TYPE");
const QLatin1String kHipaa("HIPAA");
const QLatin1String kLapsed("LAPSED");
const QLatin1String kLastName("LAST_NAME");
const QLatin1String kType("TYPE");
const QLatin1String kSender("SENDER");
const QLatin1String kRecipient("RECIPIENT");
const QLatin1String kFileName("FILENAME");
const QLatin1String kSenderFullName("SENDER_FULL_NAME");
const QLatin1String kSubject("SUBJECT");
const QLatin1String kRequireAuth("REQUIRE_AUTH");
const QLatin1String kIsPro("PRO_USER");
const QLatin1String kKey("KEY");
const QLatin1String kServer("SERVER");
const QLatin1String kUID("UID");
const QLatin1String kFrom("FROM");
const QLatin1String kTo("TO");
const QLatin1String kFirstName("FIRST_NAME");

} // namespace RegistryConstants
} // namespace TolvaneMail
