#pragma once

#include <QtGlobal>

namespace TolvaneMail {

// The registry commands (wire word in the comment). The numbers are fixed; 0 is the type of an
// empty request and has no line.
enum RegistryRequestType : quint32 {
    kRequestNone = 0,
    kCheckRelay = 1,                  // CHECK_RELAY
    kCheckCode = 2,                   // CHECK_CODE
    kGetIp = 3,                       // GET_IP
    kSendWebMailWithUrl = 4,          // SEND_WEBMAIL_WITH_URL
    kHomeBridgeRequestRelayList = 5,  // HOMEBRIDGE_REQUEST_RELAY_LIST
    kHomeBridgeFind = 6,              // HOMEBRIDGE_FIND
    kHomeBridgeUpdateData = 7,        // HOMEBRIDGE_UPDATE_DATA
    kGetDomainUserInfo = 8,           // GET_DOMAIN_USER_INFO
    kDomainInfo = 9,                  // DOMAIN_INFO
    kStatExtMailReceived = 10,        // STAT_EXTMAIL_RECEIVED
    kStatExtMailSent = 11,            // STAT_EXTMAIL_SENT
    kStatVMailSent = 12,              // STAT_VMAIL_SENT
    kStatVMailReceived = 13,          // STAT_VMAIL_RECEIVED
    kStatWebMailRead = 14,            // STAT_WEBMAIL_READ
    kStatWebMailReplied = 15,         // STAT_WEBMAIL_REPLIED
    kSendBulkInvite = 16,             // SEND_BULK_INVITE
    kStatDevice = 17,                 // STAT_DEVICE
};

} // namespace TolvaneMail
