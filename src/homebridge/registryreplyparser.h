#pragma once

#include "homebridge/registryreplycodes.h"
#include "homebridge/relayparameters.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

namespace TolvaneMail {

// Reads registry reply lines: their classification and the fields of each kind of reply. The
// reply text is untrusted; every parser copes with any text and only ever finds less.
class RegistryReplyParser
{
public:
    // The code of a reply text, decided by the first word it begins with.
    static RegistryReplyCodes replyCode(const QString &replyText);

    // The fields of a reply (a QVariantMap keyed by the RegistryConstants); only
    // HOMEBRIDGE_FIND replies have fields, every other type gives an empty map.
    static QVariant parse(quint32 type, const QString &replyText);

    // The key bytes of a GET_DOMAIN_USER_INFO reply, empty when there is none.
    static QByteArray getDomainUserKey(const QString &replyText);

    static QString getIP(const QString &replyText);
    static QString getDomainInfo(const QString &replyText);
    // Appends the usable relays of a relay-list reply; true when the list is then not empty.
    static bool createRelayList(const QString &replyText, QList<RelayParameters> &list);
};

} // namespace TolvaneMail
