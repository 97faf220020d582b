#pragma once

#include "homebridge/registryrequesttype.h"

#include <QString>
#include <QVariant>

namespace TolvaneMail {

// One registry request: a command type and its fields (a QVariantMap keyed by the
// RegistryConstants), which builds the line that goes on the wire.
class RegistryRequest
{
public:
    RegistryRequest() = default;
    explicit RegistryRequest(RegistryRequestType type) : m_type(type) {}
    RegistryRequest(RegistryRequestType type, const QVariant &data) : m_type(type), m_data(data) {}

    // The request line without its line ending; empty when the type is unknown, a required
    // field is missing, or a field would break the line (CR, LF or NUL).
    QString requestString() const;

    RegistryRequestType requestType() const { return m_type; }
    QVariant data() const { return m_data; }

private:
    QString checkRelayRequest() const;
    QString checkPortAddressableRequest() const;
    QString getIpRequest() const;
    QString sendWebMailWithURLRequest() const;
    QString relayListRequest() const;
    QString findHomeBridgeRequest() const;
    QString updateHomeBridgeDataRequest() const;
    QString getDomainUserKey() const;
    QString getDomainInfo() const;
    QString statExtMailReceivedRequest() const;
    QString statExtMailSentRequest() const;
    QString statTolvaneMailSentRequest() const;
    QString statTolvaneMailReceivedRequest() const;
    QString statWebMailReadRequest() const;
    QString statWebMailRepliedRequest() const;
    QString sendBulkInvite() const;
    QString statApplicationUsage() const;

    RegistryRequestType m_type = kRequestNone;
    QVariant m_data;
};

} // namespace TolvaneMail
