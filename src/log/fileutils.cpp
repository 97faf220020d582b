#include "log/fileutils.h"

#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace FileUtils {

namespace {
const Log::Logger kLog("FileUtils");
}

qint64 truncateFileBegin(const QString &path, qint64 bytes)
{
    QFile source(path);
    if (!source.exists())
        return 0;
    const QString tmpPath = path + QStringLiteral(".tmp");
    QFile tmp(tmpPath);
    if (!source.open(QIODevice::ReadOnly) || !tmp.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    bool ok = source.seek(bytes);
    char block[4096];
    while (ok) {
        const qint64 n = source.read(block, sizeof block);
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        ok = tmp.write(block, n) == n;
    }
    ok = ok && tmp.flush();
    source.close();
    tmp.close();
    // rename(2) replaces the file in one step: the old content stays until the new one is in.
    if (!ok || std::rename(QFile::encodeName(tmpPath).constData(),
                           QFile::encodeName(path).constData()) != 0) {
        QFile::remove(tmpPath);
        return 0;
    }
    return bytes;
}

bool removeDir(const QString &givenPath)
{
    kLog.trace() << "Removing directory" << givenPath;
    // Written with a trailing "/" or "/.", a link's name stands for the folder it points to;
    // without them it stands for the link itself.
    const QString path = QDir::cleanPath(givenPath);
    if (QFileInfo(path).isSymLink()) {
        // The link goes, never the folder it points to.
        if (QFile::remove(path))
            return true;
        kLog.warn() << "Cannot remove" << path;
        return false;
    }
    QDir dir(path);
    if (!dir.exists())
        return true;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                          QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink()) {
            if (!removeDir(entry.absoluteFilePath()))
                return false;
        } else if (!QFile::remove(entry.absoluteFilePath())) {
            kLog.warn() << "Cannot remove" << entry.absoluteFilePath();
            return false;
        }
    }
    const bool removed = dir.rmdir(dir.absolutePath());
    if (!removed)
        kLog.warn() << "Cannot remove" << path;
    return removed;
}

} // namespace FileUtils
