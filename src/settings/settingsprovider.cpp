#include "settings/settingsprovider.h"

#include "core/certificategenerator.h"
#include "core/emailfromaddressstring.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QSslCertificate>
#include <QSslKey>
#include <QTextStream>
#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const Log::Logger kLog("SettingsProvider");

const char kSslCertKey[] = "ssl_cert";
const char kSslKeyKey[] = "ssl_pkey";
const char kSslCaCertKey[] = "ssl_ca_cert";
const char kCertificateFileName[] = "homebridge.crt";
const char kKeyFileName[] = "homebridge.key";
const char kCaCertificateFileName[] = "TolvaneCA.crt";

// Class-wide state. The directory is read and written under its own lock; the instance is
// published atomically once it is complete, so readers on any thread see a whole object.
QMutex s_dirMutex;
QString s_iOSHomeDir;
std::atomic<SettingsProvider *> s_instance{nullptr};

QMutex &creationMutex()
{
    static QMutex mutex;
    return mutex;
}

// Four decimal numbers 0 to 255 without leading zeros, separated by dots.
bool isDottedQuad(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])(\\.(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}$"));
    return pattern.match(text).hasMatch();
}
} // namespace

QString SettingsProvider::m_configDir;

SettingsProvider::SettingsProvider()
    : m_registryHost(QString::fromLatin1(kDefaultRegistryHost)), m_registryPort(kDefaultRegistryPort)
{
    reload();
}

SettingsProvider::~SettingsProvider() = default;

void SettingsProvider::setConfigDir(const QString &dir)
{
    kLog.trace() << "static void SettingsProvider::setConfigDir(const QString&)";
    {
        QMutexLocker locker(&s_dirMutex);
        m_configDir = dir;
    }
    kLog.debug() << "Config dir:" << dir;
}

SettingsProvider *SettingsProvider::instance()
{
    if (SettingsProvider *existing = s_instance.load(std::memory_order_acquire))
        return existing;
    QMutexLocker locker(&creationMutex());
    if (SettingsProvider *existing = s_instance.load(std::memory_order_acquire))
        return existing;
    QString fallback;
    {
        QMutexLocker dirLocker(&s_dirMutex);
        if (m_configDir.isEmpty())
            m_configDir = fallback = QCoreApplication::applicationDirPath();
    }
    if (!fallback.isEmpty())
        kLog.warn() << "Server settings asked for before the config dir was set; using" << fallback;
    // Owned by the process: it lives until drop() or the end of the run.
    auto *created = new SettingsProvider;
    s_instance.store(created, std::memory_order_release);
    return created;
}

void SettingsProvider::drop()
{
    kLog.trace() << "static void SettingsProvider::drop()";
    QMutexLocker locker(&creationMutex());
    delete s_instance.exchange(nullptr, std::memory_order_acq_rel);
}

void SettingsProvider::setiOSHomeDir(const QString &dir)
{
    QMutexLocker locker(&s_dirMutex);
    s_iOSHomeDir = dir;
}

void SettingsProvider::reload()
{
    QString dir;
    {
        QMutexLocker dirLocker(&s_dirMutex);
        dir = m_configDir;
    }
    {
        QMutexLocker locker(&m_lock);
        m_settings = std::make_unique<QSettings>(dir + QLatin1Char('/') + QLatin1String(CfgFileName),
                                                 QSettings::IniFormat);
        m_configPath = dir + QLatin1Char('/');
    }
    readRegistrySettings();
}

void SettingsProvider::readRegistrySettings()
{
    QMutexLocker locker(&m_lock);
    m_settings->beginGroup(QLatin1String(CfgGroupMain));
    const QVariant host = m_settings->value(QLatin1String(CfgRegistryHost));
    const QVariant port = m_settings->value(QLatin1String(CfgRegistryPort));
    const QVariant certFile = m_settings->value(QLatin1String(CfgRegistryCertFilePath));
    const bool complete = m_settings->contains(QLatin1String(CfgRegistryCertFilePath))
        && m_settings->contains(QLatin1String(CfgRegistryPort))
        && m_settings->contains(QLatin1String(CfgRegistryHost)) && host.isValid()
        && port.isValid() && certFile.isValid();
    m_settings->endGroup();

    if (complete) {
        m_registryHost = host.toString();
        m_registryPort = quint16(port.toString().trimmed().toULongLong() & 0xffff);
        m_registryCertFile = certFile.toString();
        kLog.debug() << "Reading registry settings from config file" << m_registryHost
                     << m_registryCertFile << m_registryPort;
    } else {
        kLog.debug() << "There is no registry settings in config file using default"
                     << m_registryHost << m_registryCertFile << m_registryPort;
    }
}

QString SettingsProvider::lastError() const
{
    QMutexLocker locker(&m_lock);
    return m_lastError;
}

void SettingsProvider::setLastError(const QString &error)
{
    // Called with m_lock held.
    m_lastError = error;
    kLog.warn(this) << error;
}

QVariant SettingsProvider::value(const char *group, const char *key)
{
    QMutexLocker locker(&m_lock);
    m_settings->beginGroup(QLatin1String(group));
    QVariant result;
    if (m_settings->contains(QLatin1String(key)))
        result = m_settings->value(QLatin1String(key));
    m_settings->endGroup();
    return result;
}

QString SettingsProvider::textValue(const char *group, const char *key, const QString &fallback)
{
    const QVariant stored = value(group, key);
    return stored.isValid() ? stored.toString() : fallback;
}

bool SettingsProvider::boolValue(const char *key, bool fallback)
{
    const QVariant stored = value(CfgGroupMain, key);
    return stored.isValid() ? stored.toBool() : fallback;
}

quint64 SettingsProvider::unsignedValue(const char *group, const char *key, quint64 fallback,
                                        bool zeroIsDefault)
{
    const QVariant stored = value(group, key);
    if (!stored.isValid())
        return fallback;
    const quint64 number = stored.toString().trimmed().toULongLong();
    return number == 0 && zeroIsDefault ? fallback : number;
}

QByteArray SettingsProvider::readFileNamedBy(const char *key, const QString &defaultName)
{
    QString name = textValue(CfgGroupMain, key, defaultName);
    QString path = name;
    {
        QMutexLocker locker(&m_lock);
        if (QFileInfo(name).isRelative())
            path = m_configPath + name;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        QMutexLocker locker(&m_lock);
        setLastError(QStringLiteral("Cannot open file %1").arg(path));
        return QByteArray();
    }
    return file.read(kMaxFileReadSize);
}

QString SettingsProvider::getRegistryServerType()
{
    return textValue(CfgGroupMain, "registry_server_type");
}

quint16 SettingsProvider::getPMTPServerPort()
{
    return quint16(unsignedValue(CfgGroupMain, "pmtp_port", 8556, true));
}

quint16 SettingsProvider::getEncryptedPOPServerPort()
{
    return quint16(unsignedValue(CfgGroupMain, "pop3_port", 995, true));
}

quint16 SettingsProvider::getEncryptedSMTPServerPort()
{
    return quint16(unsignedValue(CfgGroupMain, "smtp_port", 465, true));
}

quint16 SettingsProvider::getExternalSMTPPort()
{
    return quint16(unsignedValue(CfgGroupMain, "non_auth_smtp_port", 25, true));
}

quint16 SettingsProvider::getRelayServerPort()
{
    return quint16(unsignedValue(CfgGroupMain, "relay_port", 17000, true));
}

quint16 SettingsProvider::getWebMailServerPort()
{
    return quint16(unsignedValue(CfgGroupMain, "web_mail_port", 18000, true));
}

quint16 SettingsProvider::getWebServerPort()
{
    return quint16(unsignedValue(CfgGroupMain, "webserver_port", 0, false));
}

qint64 SettingsProvider::getMaxMessageSize()
{
    const QVariant stored = value(CfgGroupMain, "max_message_size");
    return stored.isValid() ? stored.toString().trimmed().toLongLong() : 0;
}

QMap<QString, qint64> SettingsProvider::getMsgSizeRules()
{
    QMap<QString, qint64> rules;
    const QVariant stored = value(CfgGroupMain, "msg_size_rules_cfg_path");
    if (!stored.isValid())
        return rules;
    QString path = stored.toString();
    if (QFileInfo(path).isRelative()) {
        QMutexLocker locker(&m_lock);
        path = m_configPath + path;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QMutexLocker locker(&m_lock);
        setLastError(QStringLiteral("Cannot open file %1").arg(path));
        return rules;
    }
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        const QStringList parts = line.split(QLatin1Char(':'));
        if (parts.size() < 2 || emailFromAddressString(parts.at(0)).isEmpty())
            continue;
        rules.insert(parts.at(0), parts.at(1).trimmed().toLongLong());
    }
    return rules;
}

bool SettingsProvider::isExtEmailsPrivacy()
{
    return boolValue("external_emails_privacy", true);
}

bool SettingsProvider::isUPnPEnabled()
{
    return boolValue("use_upnp", false);
}

bool SettingsProvider::isWakeOnLanEnabled()
{
    return boolValue("wake_on_lan", true);
}

QString SettingsProvider::getDataPath()
{
    QString configPath;
    {
        QMutexLocker locker(&m_lock);
        configPath = m_configPath;
    }
    const QString stored = textValue(CfgGroupMain, "data_path");
    return stored.isEmpty() ? configPath : stored;
}

QByteArray SettingsProvider::getSslPrivateKey()
{
    return readFileNamedBy(kSslKeyKey, QString::fromLatin1(kKeyFileName));
}

QByteArray SettingsProvider::getSslCertificate()
{
    return readFileNamedBy(kSslCertKey, QString::fromLatin1(kCertificateFileName));
}

QByteArray SettingsProvider::getSslCACertificate()
{
    return readFileNamedBy(kSslCaCertKey, QString::fromLatin1(kCaCertificateFileName));
}

bool SettingsProvider::getUPnPRemapPorts()
{
    return boolValue("upnp_remap_ports", true);
}

ProxySettings SettingsProvider::getProxySettings()
{
    ProxySettings proxy;
    const QVariant host = value(CfgGroupMain, "proxy_host");
    const QVariant port = value(CfgGroupMain, "proxy_port");
    if (host.isValid() && port.isValid()) {
        proxy.host = host.toString();
        proxy.port = quint16(port.toString().trimmed().toUInt());
    }
    const QVariant user = value(CfgGroupMain, "proxy_user");
    const QVariant password = value(CfgGroupMain, "proxy_password");
    if (user.isValid() && password.isValid()) {
        proxy.user = user.toString();
        proxy.password = password.toString();
    }
    return proxy;
}

QString SettingsProvider::getHostname()
{
    return textValue(CfgGroupMain, "host");
}

QString SettingsProvider::getExternalIp()
{
    const QString address = textValue(CfgGroupMain, "external_ip");
    return isDottedQuad(address) ? address : QString();
}

bool SettingsProvider::isDeliveryNotificationsEnabled()
{
    return boolValue("delivery_notifications", false);
}

bool SettingsProvider::isSubjectUsedInWebLink()
{
    return boolValue("send_subject_in_weblink", true);
}

quint16 SettingsProvider::getLogsKeepTime()
{
    return quint16(unsignedValue(CfgGroupMain, "logs_keep_time", 14, true));
}

QString SettingsProvider::getSpamdAddress()
{
    return textValue(CfgGroupMain, "spamd");
}

bool SettingsProvider::getSpamDelete()
{
    return boolValue("spam_delete", false);
}

quint32 SettingsProvider::getSpamMaxSize()
{
    return quint32(unsignedValue(CfgGroupMain, "spam_max_size", 10485760, true));
}

quint32 SettingsProvider::senderParallelRecipients()
{
    return quint32(unsignedValue(CfgGroupMain, "parallel_recipients", 5, true));
}

quint32 SettingsProvider::senderMessagesPerRecipient()
{
    return quint32(unsignedValue(CfgGroupMain, "messages_per_recipient", 2, true));
}

quint32 SettingsProvider::senderSmallMessagesPerRecipient()
{
    return quint32(unsignedValue(CfgGroupMain, "small_messages_per_recipient", 1, true));
}

quint32 SettingsProvider::senderThreadCount()
{
    return quint32(unsignedValue(CfgGroupMain, "sender_thread_count", 3, true));
}

QString SettingsProvider::getDbType()
{
    return textValue(CfgGroupDataBase, "db_type");
}

QString SettingsProvider::getDbName()
{
    return textValue(CfgGroupDataBase, "db_name");
}

QString SettingsProvider::getDbHostName()
{
    return textValue(CfgGroupDataBase, "db_host_name");
}

QString SettingsProvider::getDbPassword()
{
    return textValue(CfgGroupDataBase, "db_password");
}

quint16 SettingsProvider::getDbPort()
{
    return quint16(unsignedValue(CfgGroupDataBase, "db_port", 3306, false));
}

QString SettingsProvider::getDbUserName()
{
    return textValue(CfgGroupDataBase, "db_user_name");
}

bool SettingsProvider::getStatisticStatus()
{
    const QVariant stored = value(CfgGroupDataBase, "enable_statistics");
    return stored.isValid() ? stored.toBool() : true;
}

bool SettingsProvider::writeOwnerOnlyFile(const QString &path, const QByteArray &contents)
{
    // Created (or cut back) with owner-only permissions before any byte goes in; an existing
    // file's wider permissions are narrowed first as well.
    const QByteArray nativePath = QFile::encodeName(path);
    const int fd = ::open(nativePath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                          S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        ::close(fd);
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    const bool written = file.write(contents) == contents.size() && file.flush();
    file.close();
    return written;
}

bool SettingsProvider::setSSLCertificate(const QByteArray &certificatePem, const QByteArray &keyPem)
{
    kLog.trace(this) << "bool SettingsProvider::setSSLCertificate(const QByteArray&, const "
                        "QByteArray&)";
    const QSslCertificate certificate(certificatePem, QSsl::Pem);
    const QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    QMutexLocker locker(&m_lock);
    if (certificate.isNull()) {
        setLastError(QStringLiteral("Invalid PEM-encoded certificate"));
        return false;
    }
    if (key.isNull()) {
        setLastError(QStringLiteral("Invalid PEM-encoded RSA key"));
        return false;
    }
    if (!CertificateGenerator::isPrivateKeyCorrespondsToCertificate(certificate, key)) {
        setLastError(QStringLiteral("Private key doesnt correspond to certificate"));
        return false;
    }

    QFile certificateFile(m_configPath + QLatin1String(kCertificateFileName));
    if (!certificateFile.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || certificateFile.write(certificate.toPem()) < 0 || !certificateFile.flush()) {
        setLastError(QStringLiteral("Failed to store certificate"));
        return false;
    }
    certificateFile.close();
    m_settings->beginGroup(QLatin1String(CfgGroupMain));
    m_settings->setValue(QLatin1String(kSslCertKey), QString::fromLatin1(kCertificateFileName));
    m_settings->endGroup();

    if (!writeOwnerOnlyFile(m_configPath + QLatin1String(kKeyFileName), key.toPem())) {
        setLastError(QStringLiteral("Failed to store private key"));
        return false;
    }
    m_settings->beginGroup(QLatin1String(CfgGroupMain));
    m_settings->setValue(QLatin1String(kSslKeyKey), QString::fromLatin1(kKeyFileName));
    m_settings->endGroup();
    m_settings->sync();
    return true;
}
