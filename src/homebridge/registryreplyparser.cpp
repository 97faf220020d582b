#include "homebridge/registryreplyparser.h"

#include "homebridge/registryconstants.h"
#include "homebridge/registryrequesttype.h"
#include "log/logger.h"

#include <QRegularExpression>
#include <limits>

namespace TolvaneMail {

namespace {

const Log::Logger kLog("TolvaneMail::RegistryReplyParser");

using namespace RegistryConstants;

// A word character of any script: letters, decimal digits, combining marks and "_".
#define WORD_CLASS "\\p{L}\\p{Nd}\\p{M}_"

QRegularExpression pattern(const char *text, bool caseInsensitive = false)
{
    QRegularExpression::PatternOptions options = QRegularExpression::UseUnicodePropertiesOption;
    if (caseInsensitive)
        options |= QRegularExpression::CaseInsensitiveOption;
    return QRegularExpression(QString::fromLatin1(text), options);
}

// The first capture of the pattern's first match; a null string when it does not match.
QString firstCapture(const QRegularExpression &expression, const QString &text)
{
    const QRegularExpressionMatch match = expression.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

QByteArray fromBase64Form(const QString &value)
{
    return QByteArray::fromBase64(value.toLatin1().replace('_', '='));
}

// The digit run as a number, saturating at the top of the range: an over-long value must never
// read as a small one.
qint64 saturatingNumber(const QString &digits, qint64 maximum)
{
    qint64 value = 0;
    for (const QChar c : digits) {
        const int digit = c.unicode() - '0';
        if (value > (maximum - digit) / 10)
            return maximum;
        value = value * 10 + digit;
    }
    return value;
}

struct ReplyPrefix {
    const char *word;
    RegistryReplyCodes code;
};

// The order decides: the first word that begins the reply wins.
const ReplyPrefix kReplyPrefixes[] = {
    {"OK", kReplyOk},
    {"FAILED_SERVER_ERROR", kReplyServerError},
    {"FAILED_EXISTS", kReplyFailedExists},
    {"FAILED_NOT_EXISTS", kReplyFailedNotExists},
    {"FAILED_AUTH", kReplyFailedAuth},
    {"FAILED_CHANGED_TO_PRO", kReplyChangedToPro},
    {"FAILED_INVALID_COMMAND", kReplyInvalidCommand},
};

} // namespace

RegistryReplyCodes RegistryReplyParser::replyCode(const QString &replyText)
{
    for (const ReplyPrefix &prefix : kReplyPrefixes) {
        if (replyText.startsWith(QLatin1String(prefix.word)))
            return prefix.code;
    }
    return kReplyDefault;
}

QVariant RegistryReplyParser::parse(quint32 type, const QString &replyText)
{
    kLog.debug() << "Parsing reply:" << replyText;
    QVariantMap map;
    if (type != kHomeBridgeFind)
        return map;

    static const QRegularExpression ip = pattern("IP=([0-9\\.]+)");
    static const QRegularExpression port = pattern("PORT=([0-9]+)");
    static const QRegularExpression data = pattern("DATA=([A-Za-z0-9_+/]*)");
    static const QRegularExpression firstName = pattern("FIRST_NAME=([" WORD_CLASS " ,.'-]*),");
    static const QRegularExpression lastName = pattern("LAST_NAME=([" WORD_CLASS " ,.'-]*),");
    static const QRegularExpression lapsed = pattern("LAPSED=([0-9]+)");
    static const QRegularExpression deviceType = pattern("DEVICE_TYPE=([" WORD_CLASS "'\\.-]+)", true);
    static const QRegularExpression hipaa = pattern("HIPAA=(true|false)", true);

    QString value = firstCapture(ip, replyText);
    if (!value.isNull())
        map.insert(kIP, value);

    value = firstCapture(port, replyText);
    if (!value.isNull()) {
        bool ok = false;
        const uint number = value.toUInt(&ok);
        map.insert(kPort, ok ? number : 0u);
    }

    value = firstCapture(data, replyText);
    if (!value.isNull())
        map.insert(kData, fromBase64Form(value));

    value = firstCapture(firstName, replyText);
    if (!value.isNull())
        map.insert(kFirstName, value);

    value = firstCapture(lastName, replyText);
    if (!value.isNull())
        map.insert(kLastName, value);

    value = firstCapture(lapsed, replyText);
    if (!value.isNull())
        map.insert(kLapsed, int(saturatingNumber(value, std::numeric_limits<int>::max())));

    value = firstCapture(deviceType, replyText);
    if (!value.isNull())
        map.insert(kDeviceType, value.simplified().toLower());

    value = firstCapture(hipaa, replyText);
    if (!value.isNull())
        map.insert(kHipaa, value.toLower());

    return map;
}

QByteArray RegistryReplyParser::getDomainUserKey(const QString &replyText)
{
    if (replyText.isEmpty())
        return QByteArray();
    static const QRegularExpression key = pattern("KEY=([A-Za-z0-9_\\+/=]*)");
    const QString value = firstCapture(key, replyText);
    if (value.isNull())
        return QByteArray();
    return fromBase64Form(value);
}

QString RegistryReplyParser::getIP(const QString &replyText)
{
    if (replyText.isEmpty())
        return QString();
    static const QRegularExpression ip = pattern("IP=([0-9\\.]*)");
    return firstCapture(ip, replyText);
}

QString RegistryReplyParser::getDomainInfo(const QString &replyText)
{
    if (replyText.isEmpty())
        return QString();
    static const QRegularExpression data = pattern("DATA=([A-Za-z0-9_\\+/=]*)");
    const QString value = firstCapture(data, replyText);
    if (value.isNull())
        return QString();
    return QString::fromUtf8(fromBase64Form(value));
}

bool RegistryReplyParser::createRelayList(const QString &replyText, QList<RelayParameters> &list)
{
    kLog.trace() << "bool TolvaneMail::RegistryReplyParser::createRelayList(const QString&, "
                    "QList<RelayParameters>&)";
    kLog.trace() << "Reply:" << replyText;

    static const QRegularExpression ip = pattern("IP\\s*=\\s*([0-9\\.]*)");
    static const QRegularExpression port = pattern("PORT\\s*=\\s*([0-9]+)");
    static const QRegularExpression capacity = pattern("CAPACITY\\s*=\\s*([0-9]+)");
    static const QRegularExpression countryCode = pattern("COUNTRY_CODE\\s*=\\s*([" WORD_CLASS "]+)");

    const QStringList entries = replyText.split(QLatin1Char(';'));
    for (const QString &entry : entries) {
        RelayParameters relay;
        QString value = firstCapture(ip, entry);
        if (!value.isNull())
            relay.ip = value;
        value = firstCapture(port, entry);
        if (!value.isNull()) {
            bool ok = false;
            const ushort number = value.toUShort(&ok);
            relay.port = ok ? number : 0;
        }
        value = firstCapture(capacity, entry);
        if (!value.isNull()) {
            bool ok = false;
            const qlonglong number = value.toLongLong(&ok);
            relay.capacity = ok ? number : 0;
        }
        value = firstCapture(countryCode, entry);
        if (!value.isNull())
            relay.countryCode = value;
        if (relay.capacity != 0 && !relay.ip.isEmpty() && relay.port != 0)
            list.append(relay);
    }
    return !list.isEmpty();
}

} // namespace TolvaneMail
