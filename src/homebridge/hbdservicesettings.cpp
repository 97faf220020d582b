#include "homebridge/hbdservicesettings.h"

namespace {
const char *const kTypeNames[] = {"PMTP", "POP3", "SMTP", "Relay", "WebMail", "WebServer", "MicroAdmin"};
constexpr quint32 kTypeCount = sizeof kTypeNames / sizeof *kTypeNames;
} // namespace

QString HBDServiceSettings::stringType() const
{
    return QLatin1String(kTypeNames[Type < kTypeCount ? Type : kTypePMTP]);
}

void HBDServiceSettings::setType(const QString &type)
{
    const QString lower = type.toLower();
    Type = kTypePMTP;
    for (quint32 i = 1; i < kTypeCount; ++i) {
        if (lower == QString::fromLatin1(kTypeNames[i]).toLower()) {
            Type = i;
            return;
        }
    }
}
