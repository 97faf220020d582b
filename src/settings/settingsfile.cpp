#include "settings/settingsfile.h"

#include "log/logger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocale>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The file is the store's: its lines go out under the store's name, so that one level governs
// everything the store logs.
const Log::Logger kLog("ApplicationSettings");

bool readsAsSettings(const QByteArray &content)
{
    return !QJsonDocument::fromJson(content).isNull();
}

// Asks the system to put the descriptor's data on the disk. Its answer is the only word on
// whether a write reached the disk: a full thin-provisioned volume, say, reports it only here.
bool syncDescriptor(int fd, QString *why)
{
    if (::fsync(fd) == 0)
        return true;
    *why = qt_error_string(errno);
    return false;
}

// Makes the names in the folder (a rename, a new file) last through a power loss.
bool syncFolder(const QString &folder, QString *why)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *why = qt_error_string(errno);
        return false;
    }
    const bool synced = syncDescriptor(fd, why);
    ::close(fd);
    return synced;
}

// The file holds the passwords' cipher text under a fixed key, and so does the copy of the
// previous settings. File systems without Unix modes (FAT, some network shares) and files of
// another owner refuse the change; the file is written all the same.
void restrictToOwner(QFileDevice &file)
{
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        kLog.warn() << "Cannot restrict the config file's permissions; saving it all the same"
                    << file.fileName() << file.errorString();
    }
}

// Writes the bytes to a file of that name that does not exist yet, owner-only from the moment
// it exists, and syncs it and its folder. On failure nothing of it is left.
bool writeNewFile(const QString &path, const QByteArray &content, QString *why)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("cannot make the folder");
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        *why = qt_error_string(errno);
        return false;
    }
    bool written = true;
    for (qint64 done = 0; written && done < content.size();) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        if (written)
            done += n;
        else
            *why = qt_error_string(n < 0 ? errno : ENOSPC);
    }
    written = written && syncDescriptor(fd, why);
    if (::close(fd) != 0 && written) {
        *why = qt_error_string(errno);
        written = false;
    }
    if (written && syncFolder(folder, why))
        return true;
    ::unlink(name.constData());
    return false;
}

// "<name>.<stamp>.damaged" in the folder, with a number added where that name is taken.
QString damagedName(const QString &folder, const QString &name, const QString &stamp)
{
    const QString base = folder + QLatin1Char('/') + name + QLatin1Char('.') + stamp;
    QString path = base + QStringLiteral(".damaged");
    for (int n = 1; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n)
        path = base + QLatin1Char('-') + QString::number(n) + QStringLiteral(".damaged");
    return path;
}
} // namespace

SettingsFile::SettingsFile(const QString &path, const QString &copyPath)
    : m_path(path), m_copyPath(copyPath)
{
}

bool SettingsFile::read(QByteArray *content) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    *content = file.readAll();
    return file.error() == QFileDevice::NoError;
}

bool SettingsFile::save(const QByteArray &content)
{
    if (m_protected) {
        kLog.error() << "Config file is not saved: the damaged file could not be kept aside"
                     << m_path;
        return false;
    }
    if (m_path.isEmpty()) {
        kLog.error() << "Impossibe to open config file for writing";
        return false;
    }
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        kLog.error() << "Impossibe to open config file for writing" << folder;
        return false;
    }

    // Written to a temporary file in the same folder and renamed over the old file, so a crash
    // or a full disk leaves the previous file whole. Where no file can be made in the folder but
    // the file itself may be writable (a folder of another owner), it is written in place instead:
    // a save that cannot be atomic still beats a change that never reaches the file.
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (errno == EACCES && QFileInfo::exists(m_path))
            return saveInPlace(content);
        kLog.error() << "Impossibe to open config file for writing" << m_path << file.errorString();
        return false;
    }
    restrictToOwner(file);
    // Qt 5's commit() ignores both a failed final flush and a failed sync, and would rename a
    // file that never reached the disk over the good one: both are done and checked here first.
    // An uncommitted file is removed when it goes out of scope.
    QString why;
    if (file.write(content) != content.size() || !file.flush()) {
        kLog.error() << "Config file could not be saved" << m_path << file.errorString();
        return false;
    }
    if (!syncDescriptor(file.handle(), &why)) {
        kLog.error() << "Config file could not be saved: the disk did not take it" << m_path << why;
        return false;
    }
    if (!file.commit()) {
        kLog.error() << "Config file could not be saved" << m_path << file.errorString();
        return false;
    }
    // The new file is whole on the disk; only which of the two whole files a power loss leaves
    // under the name is open.
    if (!syncFolder(folder, &why))
        kLog.warn() << "Config file saved, but its folder could not be synced" << folder << why;
    discardCopy();
    kLog.debug() << "Config file saved" << m_path;
    return true;
}

// Rewriting in place cuts the file before the new content is in, so the previous settings are
// kept elsewhere first, and the copy goes only once the new content is on the disk. The file is
// emptied before it is written, so a cut-off write leaves a prefix of the new content, which
// never reads as settings, and not a mix of new and old that might.
bool SettingsFile::saveInPlace(const QByteArray &content)
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) {
        kLog.error() << "Impossibe to open config file for writing" << m_path << file.errorString();
        return false;
    }
    const QByteArray previous = file.readAll();
    if (previous.size() != file.size() || !keepPreviousCopy(previous)) {
        kLog.error() << "Config file is not saved: it can only be rewritten in place, and the"
                     << "previous settings could not be kept first in" << m_copyPath;
        return false;
    }
    restrictToOwner(file);
    QString why;
    if (!file.resize(0) || !file.seek(0) || file.write(content) != content.size() ||
        !file.flush() || !syncDescriptor(file.handle(), &why)) {
        kLog.error() << "Config file could not be saved; the previous settings are kept in"
                     << m_copyPath << (why.isEmpty() ? file.errorString() : why);
        return false;
    }
    file.close();
    discardCopy();
    kLog.debug() << "Config file saved in place" << m_path;
    return true;
}

// A copy of good settings is never replaced by bytes that do not read as settings, such as the
// file an earlier cut-off write left behind. The copy counts only once it and its name are on
// the disk: the file is emptied next.
bool SettingsFile::keepPreviousCopy(const QByteArray &previous)
{
    if (m_copyPath.isEmpty())
        return false;
    if (!readsAsSettings(previous) && !previousCopy().isEmpty())
        return true;
    const QString folder = QFileInfo(m_copyPath).absolutePath();
    // Made owner-only and empty as it is created: the save file below then starts its new file
    // with this file's mode, where a new one would be open to all until its mode is changed, or
    // for good where the change is refused. It goes again if no copy is written.
    const int placeholder = QDir().mkpath(folder)
                                ? ::open(QFile::encodeName(m_copyPath).constData(),
                                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR)
                                : -1;
    if (placeholder >= 0)
        ::close(placeholder);
    QSaveFile copy(m_copyPath);
    const bool opened = copy.open(QIODevice::WriteOnly);
    if (opened)
        restrictToOwner(copy);
    QString why;
    const bool kept = opened && copy.write(previous) == previous.size() && copy.flush() &&
                      syncDescriptor(copy.handle(), &why) && copy.commit() &&
                      syncFolder(folder, &why);
    if (!kept) {
        kLog.warn() << "Cannot write the copy of the previous settings" << m_copyPath
                    << (why.isEmpty() ? copy.errorString() : why);
        if (placeholder >= 0)
            QFile::remove(m_copyPath);
    }
    return kept;
}

bool SettingsFile::keepAside()
{
    // ASCII digits whatever the locale, so the names sort by time.
    const QString stamp =
        QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyyMMdd-HHmmss"));
    const QFileInfo file(m_path);
    const QString aside = damagedName(file.absolutePath(), file.fileName(), stamp);
    if (QFile::rename(m_path, aside)) {
        kLog.error() << "Config file is damaged or unreadable; kept it as" << aside;
        return true;
    }
    // The folder lets no file be renamed or made there, so a save will rewrite the file in place:
    // its bytes go beside the copy of the previous settings first.
    QByteArray content;
    QString why;
    if (m_copyPath.isEmpty()) {
        why = QStringLiteral("there is no folder for the copy");
    } else if (!read(&content)) {
        why = QStringLiteral("it cannot be read");
    } else {
        const QString besideCopy =
            damagedName(QFileInfo(m_copyPath).absolutePath(), file.fileName(), stamp);
        if (writeNewFile(besideCopy, content, &why)) {
            kLog.error() << "Config file is damaged; kept a copy of it as" << besideCopy;
            return true;
        }
    }
    m_protected = true;
    kLog.error() << "Config file is damaged or unreadable and could not be kept aside; it will not"
                 << "be overwritten in this run:" << m_path << why;
    return false;
}

QByteArray SettingsFile::previousCopy() const
{
    QFile copy(m_copyPath);
    if (m_copyPath.isEmpty() || !copy.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray content = copy.readAll();
    return readsAsSettings(content) ? content : QByteArray();
}

void SettingsFile::discardCopy()
{
    if (!m_copyPath.isEmpty() && QFileInfo::exists(m_copyPath) && !QFile::remove(m_copyPath))
        kLog.warn() << "Cannot remove the copy of the previous settings" << m_copyPath;
}
