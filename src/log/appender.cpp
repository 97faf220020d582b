#include "log/appender.h"

#include "log/fileutils.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace Log {

namespace {
// False before the appender is built and again once it is gone: a message at either end of the
// process then takes Qt's default path instead of touching a dead object.
std::atomic<bool> s_alive{false};
std::atomic<Appender *> s_process{nullptr};

// Writes with the defaults from static initialisation on, so nothing logged before start-up
// configures the appender is lost.
const bool s_installedAtStart = (Appender::instance()->installHandler(), true);
} // namespace

Appender::Appender()
    : m_lastWriteDate(QDate::currentDate().addDays(-1)), m_logsDirPath(QStringLiteral("log")),
      m_prefix(QStringLiteral("logger"))
{
    m_total = calculateLogSize();
}

Appender::~Appender()
{
    if (s_process.load() == this) {
        s_alive.store(false);
        qInstallMessageHandler(nullptr);
    }
}

Appender *Appender::instance()
{
    static Appender appender;
    if (!s_process.load()) {
        s_process.store(&appender);
        s_alive.store(true);
    }
    return &appender;
}

Appender *appender()
{
    return Appender::instance();
}

void qt_log_write(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!s_alive.load()) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        return;
    }
    Appender::instance()->write(type, context, message);
}

void Appender::installHandler()
{
    qInstallMessageHandler(qt_log_write);
}

void Appender::write(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker locker(&m_lock);
    const QDate today = QDate::currentDate();
    if (today != m_lastWriteDate) {
        m_lastWriteDate = today;
        clearLogs();
    }

    QFile file(logsDirPath() + QLatin1Char('/') + logFileName());
    if (!file.open(QIODevice::Append | QIODevice::Text))
        return;

    const QByteArray utf8 = message.toUtf8();
    switch (type) {
    case QtDebugMsg:
    case QtInfoMsg:
        file.write(utf8 + '\n');
        std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout); // a console or pipe reader sees each line as it is written
        break;
    case QtWarningMsg:
    case QtCriticalMsg:
        file.write(utf8 + '\n');
        std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stderr);
        std::fputc('\n', stderr);
        break;
    case QtFatalMsg: {
        const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
        file.write(QStringLiteral("%1: %2\n").arg(now, message).toUtf8());
        file.flush();
        std::fprintf(stderr, "%s: %s\n", now.toUtf8().constData(), utf8.constData());
        std::fflush(stderr);
        std::abort();
    }
    }
    file.close();

    m_total += utf8.size() + 1;
    fixLogSize();
}

void Appender::setLogsDirPath(const QString &path)
{
    QMutexLocker locker(&m_lock);
    m_logsDirPath = path;
    m_total = calculateLogSize();
    fixLogSize();
}

QString Appender::logsDirPath()
{
    const QFileInfo info(m_logsDirPath);
    if (!info.exists())
        QDir().mkpath(info.absoluteFilePath());
    if (m_logsDirPath.endsWith(QLatin1Char('/')))
        m_logsDirPath.chop(1);
    return m_logsDirPath;
}

void Appender::setLogFileNamePrefix(const QString &prefix)
{
    QMutexLocker locker(&m_lock);
    m_prefix = prefix;
    // The total counts the files of the current prefix only; recount so the cap holds.
    m_total = calculateLogSize();
}

void Appender::setMaxLogSize(qint64 bytes)
{
    QMutexLocker locker(&m_lock);
    m_maxSize = bytes;
    fixLogSize();
}

void Appender::setLogThreshold(qint64 bytes)
{
    QMutexLocker locker(&m_lock);
    m_threshold = bytes;
}

void Appender::setDaysLimit(quint16 days)
{
    QMutexLocker locker(&m_lock);
    m_daysLimit = days;
}

QString Appender::logFileNamePattern() const
{
    QMutexLocker locker(&m_lock);
    return QStringLiteral("'%1_'yyMMdd'.log'").arg(m_prefix, 0, QLatin1Char(' '));
}

// Names carry ASCII digits whatever the locale: they are sorted and read back as dates, also after
// a change of locale.
QString Appender::logFileName() const
{
    return QLocale::c().toString(QDate::currentDate(), logFileNamePattern());
}

qint64 Appender::runningTotal() const
{
    QMutexLocker locker(&m_lock);
    return m_total;
}

QStringList Appender::logFiles()
{
    QDir dir(m_logsDirPath);
    return dir.entryList({m_prefix + QStringLiteral("*.log")}, QDir::Files, QDir::Name);
}

qint64 Appender::calculateLogSize()
{
    QMutexLocker locker(&m_lock);
    const QDir dir(m_logsDirPath);
    if (!dir.exists())
        return 0;
    qint64 total = 0;
    for (const QString &name : logFiles())
        total += QFileInfo(dir.filePath(name)).size();
    return total;
}

void Appender::clearLogs()
{
    QMutexLocker locker(&m_lock);
    const QDir dir(logsDirPath());
    const QString pattern = logFileNamePattern();
    const QDate limit = QDate::currentDate().addDays(-m_daysLimit);
    bool removed = false;
    for (const QString &name : logFiles()) {
        QDate date = QLocale::c().toDate(name, pattern);
        if (!date.isValid())
            continue;
        // Two-digit years read as the 1900s.
        date = date.addYears(100);
        if (date <= limit)
            removed |= QFile::remove(dir.filePath(name));
    }
    if (removed)
        m_total = calculateLogSize();
}

void Appender::fixLogSize()
{
    QMutexLocker locker(&m_lock);
    if (m_total < m_maxSize)
        return;
    qint64 toRemove = m_total - m_maxSize + m_threshold;
    const QDir dir(m_logsDirPath);
    const QStringList files = logFiles(); // oldest first
    for (const QString &name : files) {
        if (toRemove <= 0)
            break;
        const QString path = dir.filePath(name);
        const qint64 size = QFileInfo(path).size();
        if (size > toRemove) {
            const qint64 cut = FileUtils::truncateFileBegin(path, toRemove);
            toRemove -= cut;
            m_total -= cut;
            break; // the file was larger than what remained; nothing more to do
        }
        toRemove -= size;
        m_total -= size;
        QFile::remove(path);
    }
    // Files that could not be cut or deleted still count: keep the total true to the folder.
    m_total = calculateLogSize();
}

} // namespace Log
