#pragma once

#include <QString>

// One service of a HomeBridge: its ports, host, kind and version.
class HBDServiceSettings
{
public:
    enum ServiceType : quint32 {
        kTypePMTP = 0,
        kTypePOP3 = 1,
        kTypeSMTP = 2,
        kTypeRelay = 3,
        kTypeWebMail = 4,
        kTypeWebServer = 5,
        kTypeMicroAdmin = 6,
    };

    // The record's name of the type; "PMTP" for 0 and for any unknown value.
    QString stringType() const;
    // Reads a type name regardless of letter case; an unknown name gives 0.
    void setType(const QString &type);

    quint16 LocalPort = 0;
    quint16 ExternalPort = 0;
    QString Host;
    quint32 Type = kTypePMTP;
    int Version = 0;
};
