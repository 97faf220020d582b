#include "ui/main/helpmanager.h"

#include "log/fileutils.h"
#include "log/logger.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QStandardPaths>

namespace {
const Log::Logger kLog("HelpManager");
}

HelpManager *HelpManager::instance()
{
    static QMutex mutex;
    static HelpManager *manager = nullptr; // lives for the whole run
    QMutexLocker locker(&mutex);
    if (!manager)
        manager = new HelpManager;
    return manager;
}

HelpManager::HelpManager()
    : m_helpDir(QStandardPaths::writableLocation(QStandardPaths::DataLocation) +
                QStringLiteral("/help_new"))
{
    rebuildHelp();
}

void HelpManager::rebuildHelp()
{
    kLog.debug(this) << "Generaing help started";
    QElapsedTimer timer;
    timer.start();

    FileUtils::removeDir(m_helpDir);
    QDir().mkpath(m_helpDir);
    const QDir resources(QStringLiteral(":/help"));
    for (const QString &name : resources.entryList(QDir::Files)) {
        if (!name.endsWith(QLatin1String(".html")))
            continue;
        QFile source(resources.filePath(name));
        QFile target(m_helpDir + QLatin1Char('/') + name);
        if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly) ||
            target.write(source.readAll()) != source.size()) {
            kLog.warn(this) << "Cannot copy help page" << name << "to" << target.fileName();
        }
    }
    kLog.debug(this) << "Ready (generating help) time elapsed:" << timer.elapsed() << "ms";
}
