#pragma once

#include "homebridge/homebridgedatashared.h"

#include <QByteArray>
#include <QSharedDataPointer>
#include <QString>

// The record a HomeBridge publishes through the registry, as an implicitly shared value.
// Copies share one payload; a non-const accessor gives its copy a payload of its own first.
class HomeBridgeData
{
public:
    HomeBridgeData();
    HomeBridgeData(const HomeBridgeData &other);
    HomeBridgeData &operator=(const HomeBridgeData &other);
    HomeBridgeData &operator=(HomeBridgeData &&other) noexcept;
    ~HomeBridgeData();

    HBDInfo &info() { return d->info; }
    const HBDInfo &info() const { return d->info; }
    HBDSettings &settings() { return d->settings; }
    const HBDSettings &settings() const { return d->settings; }
    QList<HBDNetworkInterface> &networkInterfaces() { return d->networkInterfaces; }
    const QList<HBDNetworkInterface> &networkInterfaces() const { return d->networkInterfaces; }
    HBDMobile &mobile() { return d->mobile; }
    const HBDMobile &mobile() const { return d->mobile; }

    // Whether the record names a second-generation relay with an address, a port and a session.
    bool hasRelay2() const;

    // Reads a record from its JSON text. When ok is given it tells whether the text parsed; a
    // text that does not parse gives a new record.
    static HomeBridgeData fromJson(const QString &json, bool *ok = nullptr);
    QByteArray json() const;

private:
    QSharedDataPointer<HomeBridgeDataShared> d;
};
