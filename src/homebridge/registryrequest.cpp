#include "homebridge/registryrequest.h"

#include "homebridge/registryconstants.h"
#include "log/logger.h"

#include <QCryptographicHash>

namespace TolvaneMail {

namespace {

const Log::Logger kLog("TolvaneMail::RegistryRequest");

using namespace RegistryConstants;

// Standard Base64 with every "=" written as "_", so the value cannot be taken for a field
// separator.
QString base64Form(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64().replace('=', '_'));
}

QString passwordDigest(const QString &password)
{
    return base64Form(QCryptographicHash::hash(password.toLatin1(), QCryptographicHash::Sha1));
}

QString normalisedAddress(const QString &address)
{
    const int first = address.indexOf(QLatin1Char('@'));
    const int last = address.lastIndexOf(QLatin1Char('@'));
    const QString local = first < 0 ? address : address.left(first);
    const QString domain = last < 0 ? address : address.mid(last + 1);
    return local.toLower().simplified().remove(QLatin1Char('.')) + QLatin1Char('@')
           + domain.toLower().simplified();
}

// Latin-1 bytes read back as UTF-8: only ASCII survives unchanged.
QString throughLatin1(const QString &text)
{
    return QString::fromUtf8(text.toLatin1());
}

} // namespace

QString RegistryRequest::requestString() const
{
    kLog.trace() << "QString TolvaneMail::RegistryRequest::requestString() const";
    QString line;
    switch (m_type) {
    case kCheckRelay:
        line = checkRelayRequest();
        break;
    case kCheckCode:
        line = checkPortAddressableRequest();
        break;
    case kGetIp:
        line = getIpRequest();
        break;
    case kSendWebMailWithUrl:
        line = sendWebMailWithURLRequest();
        break;
    case kHomeBridgeRequestRelayList:
        line = relayListRequest();
        break;
    case kHomeBridgeFind:
        line = findHomeBridgeRequest();
        break;
    case kHomeBridgeUpdateData:
        line = updateHomeBridgeDataRequest();
        break;
    case kGetDomainUserInfo:
        line = getDomainUserKey();
        break;
    case kDomainInfo:
        line = getDomainInfo();
        break;
    case kStatExtMailReceived:
        line = statExtMailReceivedRequest();
        break;
    case kStatExtMailSent:
        line = statExtMailSentRequest();
        break;
    case kStatVMailSent:
        line = statTolvaneMailSentRequest();
        break;
    case kStatVMailReceived:
        line = statTolvaneMailReceivedRequest();
        break;
    case kStatWebMailRead:
        line = statWebMailReadRequest();
        break;
    case kStatWebMailReplied:
        line = statWebMailRepliedRequest();
        break;
    case kSendBulkInvite:
        line = sendBulkInvite();
        break;
    case kStatDevice:
        line = statApplicationUsage();
        break;
    default:
        break;
    }

    // Fields go on the wire unquoted: a line break or NUL in one of them would end the command
    // early and let the rest pass for a second command.
    for (const QChar c : qAsConst(line)) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0)) {
            kLog.warn() << "Refusing request of type" << m_type << "with a line break or NUL in a field";
            return QString();
        }
    }
    return line;
}

QString RegistryRequest::checkRelayRequest() const
{
    const QVariantMap map = m_data.toMap();
    const QString ip = map.value(kIP).toString();
    const QString port = map.value(kPort).toString();
    if (ip.isEmpty() || port.isEmpty())
        return QString();
    return QStringLiteral("CHECK_RELAY: IP=%1, PORT=%2").arg(ip, port);
}

QString RegistryRequest::checkPortAddressableRequest() const
{
    const QVariantMap map = m_data.toMap();
    const QString port = map.value(kPort).toString();
    const QString code = map.value(kCheckingCode).toString();
    if (port.isEmpty() || code.isEmpty())
        return QString();
    const QString ssl = map.value(kSSL, false).toBool() ? QStringLiteral("true") : QStringLiteral("false");
    const QString externalIp = map.value(kExternalIP).toString();
    const QString ipPart = externalIp.isEmpty() ? QString() : QStringLiteral(", IP=") + externalIp;
    return QStringLiteral("CHECK_CODE: PORT=%1, CODE=%2, SSL=%3%4").arg(port, code, ssl, ipPart);
}

QString RegistryRequest::getIpRequest() const
{
    return QStringLiteral("GET_IP");
}

QString RegistryRequest::sendWebMailWithURLRequest() const
{
    const QVariantMap map = m_data.toMap();
    const QString type = map.value(kType).toString();
    const QString from = map.value(kSender).toString();
    const QString to = map.value(kRecipient).toString();
    const QString emailId = map.value(kFileName).toString();
    if (type.isEmpty() || from.isEmpty() || to.isEmpty() || emailId.isEmpty())
        return QString();

    QString line = QStringLiteral("SEND_WEBMAIL_WITH_URL: TYPE=%1, FROM=%2, TO=%3, EMAIL_ID=%4")
                       .arg(type, from, to, emailId);
    const QString server = map.value(kServer).toString();
    if (!server.isEmpty())
        line += QStringLiteral(", SERVER=") + throughLatin1(server);
    const QString fullName = map.value(kSenderFullName).toString();
    if (!fullName.isEmpty())
        line += QStringLiteral(", FROM_FULL_NAME=") + base64Form(fullName.toLatin1());
    if (map.value(kRequireAuth, false).toBool())
        line += QStringLiteral(", REQUIRE_AUTH=true");
    const QString subject = map.value(kSubject).toString();
    if (!subject.isEmpty())
        line += QStringLiteral(", SUBJECT=") + throughLatin1(subject).replace(QLatin1Char('='), QLatin1Char('_'));
    if (map.value(kIsPro, false).toBool())
        line += QStringLiteral(", PRO_USER=true");
    const QString key = map.value(kKey).toString();
    if (!key.isEmpty())
        line += QStringLiteral(", KEY=") + key;
    return line;
}

QString RegistryRequest::relayListRequest() const
{
    const QVariantMap map = m_data.toMap();
    const QString name = map.value(kName).toString();
    const QString password = map.value(kPassword).toString();
    if (name.isEmpty() || password.isEmpty())
        return QString();
    const QString version = map.value(kVersion, QStringLiteral("1")).toString();
    return QStringLiteral("HOMEBRIDGE_REQUEST_RELAY_LIST: NAME=%1, PASSWORD=%2, VERSION=%3")
        .arg(name, passwordDigest(password), version);
}

QString RegistryRequest::findHomeBridgeRequest() const
{
    return QStringLiteral("HOMEBRIDGE_FIND: NAME=%1").arg(m_data.toMap().value(kName).toString());
}

QString RegistryRequest::updateHomeBridgeDataRequest() const
{
    const QVariantMap map = m_data.toMap();
    const QString name = map.value(kName).toString();
    const QString password = map.value(kPassword).toString();
    const QString ip = map.value(kIP).toString();
    const QString data = map.value(kData).toString();
    const QString port = map.value(kPort).toString();
    if (name.isEmpty() || password.isEmpty() || ip.isEmpty() || data.isEmpty() || port.isEmpty())
        return QString();
    const QString uid = map.value(kUID).toString();
    const QString deviceType = map.value(kDeviceType, QStringLiteral("unknown")).toString();
    const QString version = map.value(kVersion, 0).toString();
    return QStringLiteral("HOMEBRIDGE_UPDATE_DATA: NAME=%1, PASSWORD=%2, IP=%3, DATA=%4, UID=%5, "
                          "PORT=%6, DEVICE_TYPE=%7, VERSION=%8")
        .arg(name, passwordDigest(password), ip, base64Form(data.toLatin1()), uid, port, deviceType,
             version);
}

QString RegistryRequest::getDomainUserKey() const
{
    const QString email = m_data.toMap().value(kEmail).toString();
    if (email.isEmpty())
        return QString();
    return QStringLiteral("GET_DOMAIN_USER_INFO: EMAIL=%1").arg(normalisedAddress(email));
}

QString RegistryRequest::getDomainInfo() const
{
    const QString domain = m_data.toMap().value(kDomain).toString();
    if (domain.isEmpty())
        return QString();
    return QStringLiteral("DOMAIN_INFO: DOMAIN=%1").arg(domain);
}

QString RegistryRequest::statExtMailReceivedRequest() const
{
    return QStringLiteral("STAT_EXTMAIL_RECEIVED");
}

QString RegistryRequest::statExtMailSentRequest() const
{
    return QStringLiteral("STAT_EXTMAIL_SENT");
}

QString RegistryRequest::statTolvaneMailSentRequest() const
{
    return QStringLiteral("STAT_VMAIL_SENT");
}

QString RegistryRequest::statTolvaneMailReceivedRequest() const
{
    return QStringLiteral("STAT_VMAIL_RECEIVED");
}

QString RegistryRequest::statWebMailReadRequest() const
{
    return QStringLiteral("STAT_WEBMAIL_READ");
}

QString RegistryRequest::statWebMailRepliedRequest() const
{
    return QStringLiteral("STAT_WEBMAIL_REPLIED");
}

QString RegistryRequest::sendBulkInvite() const
{
    const QVariantMap map = m_data.toMap();
    const QString from = map.value(kFrom).toString();
    const QVariantList to = map.value(kTo).toList();
    if (from.isEmpty() || to.isEmpty())
        return QString();
    QString recipients;
    for (const QVariant &item : to)
        recipients += item.toString() + QLatin1Char(';');
    recipients.chop(1);
    return QStringLiteral("SEND_BULK_INVITE: FROM=%1, TO=%2").arg(from, recipients);
}

QString RegistryRequest::statApplicationUsage() const
{
    const QVariantMap map = m_data.toMap();
    return QStringLiteral("STAT_DEVICE: UID=%1,DEVICE_TYPE=%2")
        .arg(map.value(kUID).toString(), map.value(kDeviceType).toString());
}

} // namespace TolvaneMail
