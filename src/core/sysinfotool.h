#pragma once

#include "core/networktool.h"

#include <QString>

// Facts about this computer, answered by static functions.
class SysInfoTool
{
public:
    SysInfoTool() = delete;

    // The operating-system word that reports carry.
    static QString os();

    // 32 lower-case hexadecimal characters bound to this computer's running interfaces with an
    // IPv4 address and a real hardware address: the MD5 of their hardware addresses, joined in
    // the order of the interface names. Computed afresh on every call, never stored.
    static QString hardwareUid();

    // The same from a given interface map.
    static QString hardwareUidFrom(const NetworkTool::InterfaceMap &interfaces);

    // File-system figures of the path: total bytes and bytes available to this user. False when
    // they cannot be read; a null output is skipped.
    static bool getFreeTotalSpace(const QString &path, long long *total, long long *available);
    // True when more than the given number of bytes are available at the path.
    static bool freeSpaceRemains(const QString &path, long long bytes);
};
