#pragma once

#include "homebridge/homebridgedata.h"
#include "support/httpstubserver.h"
#include "support/phonestandin.h"
#include "support/registrystandin.h"
#include "support/relayserverstandin.h"

namespace TestSupport {

// The whole way from an account to its HomeBridge, on loopback: a phone whose own relay service
// listens on a LAN address (lan) and an Internet address (internet), session 1 being the phone on
// both, and which holds a session on a relay server (relay); a registry that answers the find
// request with the phone's record; and the address-echo service (echo), which gives the desktop
// the record's external address. The record is built from the phone's own certificate and ports,
// so every path works until a test blocks one.
struct HomeBridgeRoad
{
    static const QHostAddress kLanAddress;      // 127.0.0.3
    static const QHostAddress kInternetAddress; // 127.0.0.2, the desktop's external address too
    static const QHostAddress kRelayAddress;    // 127.0.0.4

    // Starts everything and points the program's registry client (through a "config.cfg" written
    // to configDir) and its external-address lookup here; false when something does not start.
    bool start(const QString &configDir);
    // A directly served HomeBridge's record for the phone's services on 127.0.0.1: the POP3
    // port given as external port, SMTP only as local port and without a host of its own.
    HomeBridgeData directRecord() const;
    // A find reply carrying the record (with its Relay2 entry also when it is addressable, which
    // the record's own writer leaves out) and the further fields.
    static QByteArray findReply(const HomeBridgeData &record, const QByteArray &fields = {});

    PhoneStandIn phone;
    RelayServerStandIn lan;
    RelayServerStandIn internet;
    RelayServerStandIn relay;
    RegistryStandIn registry;
    HttpStubServer echo;
    HomeBridgeData record; // offers the LAN, Internet and relay paths; the registry's answer
};

} // namespace TestSupport
