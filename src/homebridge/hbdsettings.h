#pragma once

#include "homebridge/hbdservicesettings.h"

// The services a HomeBridge offers.
class HBDSettings
{
public:
    HBDServiceSettings Incoming;    // POP3
    HBDServiceSettings Outgoing;    // SMTP
    HBDServiceSettings Tolvane;     // PMTP
    HBDServiceSettings RelayServer; // the HomeBridge's own relay listener
    HBDServiceSettings WebMail;
    HBDServiceSettings WebServer;
    HBDServiceSettings Admin;
};
