#include "core/sysinfotool.h"

#include "log/logger.h"

#include <QCryptographicHash>

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
