#include "core/sysinfotool.h"

#include "log/logger.h"

#include <QCryptographicHash>
#include <QFile>
#include <sys/statvfs.h>

namespace {
const Log::Logger kLog("SysInfoTool");
}

QString SysInfoTool::os()
{
    return QStringLiteral("mac");
}

QString SysInfoTool::hardwareUid()
{
    kLog.trace() << "static QString SysInfoTool::hardwareUid()";
    return hardwareUidFrom(NetworkTool::getInterfacesInfo(false));
}

QString SysInfoTool::hardwareUidFrom(const NetworkTool::InterfaceMap &interfaces)
{
    QString joined;
    for (const NetworkInterfaceInfo &info : interfaces)
        joined += info.hardwareAddress();
    return QString::fromLatin1(
        QCryptographicHash::hash(joined.toLatin1(), QCryptographicHash::Md5).toHex());
}

bool SysInfoTool::getFreeTotalSpace(const QString &path, long long *total, long long *available)
{
    struct statvfs stats {};
    if (path.isEmpty() || ::statvfs(QFile::encodeName(path).constData(), &stats) != 0)
        return false;
    if (total)
        *total = static_cast<long long>(stats.f_blocks) * static_cast<long long>(stats.f_frsize);
    if (available)
        *available = static_cast<long long>(stats.f_bavail) * static_cast<long long>(stats.f_frsize);
    return true;
}

bool SysInfoTool::freeSpaceRemains(const QString &path, long long bytes)
{
    long long available = 0;
    return getFreeTotalSpace(path, nullptr, &available) && available > bytes;
}
