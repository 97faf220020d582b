#include "settings/applicationsettings.h"

#include "core/maildomain.h"
#include "core/sysinfotool.h"
#include "log/logger.h"
#include "settings/qsimplecipher.h"
#include "settings/settingsfile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSettings>
#include <QStandardPaths>
#include <QTextCodec>

#include <atomic>
#include <climits>
#include <cmath>

namespace {
const Log::Logger kLog("ApplicationSettings");

// The settings cipher's pass phrase and salt source; every stored password depends on them.
const QByteArray CipherKey = QByteArrayLiteral("4rt8,.27mkdj39d81");
const QByteArray CipherSalt = QByteArrayLiteral("0x71c58Qwe2460x913");

constexpr int kDefaultLegacyPop3Port = 110;
constexpr int kDefaultLegacySmtpPort = 25;

// The store lives until the end of the process and is not destroyed at exit: OpenSSL's own exit
// handler may already have run by then. drop() is the only place that deletes it.
std::atomic<ApplicationSettings *> s_instance{nullptr};

QMutex &instanceMutex()
{
    static QMutex mutex;
    return mutex;
}

QLatin1String key(const char *name)
{
    return QLatin1String(name);
}

// A JSON number truncated toward zero; 0 for anything else, including numbers outside int.
int portValue(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double truncated = std::trunc(value.toDouble());
    if (!(truncated >= INT_MIN && truncated <= INT_MAX))
        return 0;
    return static_cast<int>(truncated);
}

QString stringValue(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QString();
}

QString withMailDomain(const QString &login)
{
    if (login.contains(QLatin1Char('@')))
        return login;
    return login + QLatin1Char('@') + QLatin1String(TolvaneMail::kMailDomain);
}

// Where the older versions kept their native settings: the user-scope native settings of the
// organisation and application, with the user-scope path set to the application's data
// location. Opened by file name so that the process-wide native settings path stays as it is.
QString legacySettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::DataLocation) + QLatin1Char('/') +
           QCoreApplication::organizationName() + QLatin1Char('/') +
           QCoreApplication::applicationName() + QStringLiteral(".conf");
}

} // namespace

ApplicationSettings *ApplicationSettings::instance()
{
    ApplicationSettings *settings = s_instance.load(std::memory_order_acquire);
    if (settings)
        return settings;
    QMutexLocker locker(&instanceMutex());
    settings = s_instance.load(std::memory_order_relaxed);
    if (!settings) {
        settings = new ApplicationSettings; // owned by s_instance, deleted by drop()
        s_instance.store(settings, std::memory_order_release);
    }
    return settings;
}

void ApplicationSettings::drop()
{
    kLog.trace() << "static void ApplicationSettings::drop()";
    ApplicationSettings *settings = nullptr;
    {
        QMutexLocker locker(&instanceMutex());
        settings = s_instance.exchange(nullptr, std::memory_order_acq_rel);
    }
    delete settings;
}

ApplicationSettings::ApplicationSettings()
    : m_cipher(std::make_unique<QSimpleCipher>(QSimpleCipher::kAes256, QSimpleCipher::kCbc,
                                               CipherKey, CipherSalt))
{
}

ApplicationSettings::~ApplicationSettings()
{
    ApplicationSettings *self = this;
    s_instance.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

void ApplicationSettings::getConfigData(const QString &directory, const QString &filePath)
{
    kLog.trace() << "void ApplicationSettings::getConfigData(const QString&, const QString&)"
                 << directory << filePath;
    m_directory = directory;
    m_file = std::make_unique<SettingsFile>(filePath, previousCopyPath());

    if (!QFileInfo::exists(filePath)) {
        QSettings legacy(legacySettingsPath(), QSettings::NativeFormat);
        if (legacy.contains(key(CfgLogin))) {
            kLog.debug() << "Reading from previous config file";
            readSettings(legacy);
            return;
        }
    }

    QByteArray content;
    if (!m_file->read(&content)) {
        kLog.error() << "Config file transformation is done."
                     << "However, this is no sign that new json file exists";
        kLog.error() << "Please, make sure that config file is present";
        if (!QFileInfo::exists(filePath))
            return;
    } else if (loadDocument(content)) {
        // The file reads whole: a copy kept for a save in place that did not get to remove it
        // is stale.
        m_file->discardCopy();
        return;
    }
    // Damaged or unreadable: its bytes are kept before anything can replace them, and where a
    // save in place did not complete, the settings it kept first are taken in its stead.
    m_file->keepAside();
    restoreFromCopy();
}

bool ApplicationSettings::loadDocument(const QByteArray &content)
{
    const QJsonDocument document = QJsonDocument::fromJson(content);
    if (document.isNull()) {
        kLog.debug() << "No parameters are found in config file";
        return false;
    }
    const QJsonObject root = document.isObject() ? document.object() : QJsonObject();

    const QJsonArray accounts = root.value(key(CfgAccounts)).toArray();
    for (const QJsonValue &entry : accounts) {
        const QJsonObject object = entry.toObject();
        AccountDetails account;
        account.m_accountName = stringValue(object.value(key(CfgAccountName)));
        account.m_login = withMailDomain(stringValue(object.value(key(CfgLogin))));
        account.m_password = stringValue(object.value(key(CfgPassword)));
        account.m_localPop3Port = portValue(object.value(key(CfgLocalPop3Port)));
        account.m_localSmtpPort = portValue(object.value(key(CfgLocalSmtpPort)));
        account.m_showNotifications = object.value(key(CfgShowNotifications)).toBool(false);
        account.m_showDisconnectedWidget =
            !object.contains(key(CfgShowDisconnectedWidget)) ||
            object.value(key(CfgShowDisconnectedWidget)).toBool(false);
        m_accounts.append(account);
    }

    const QJsonValue connection = root.value(key(CfgConnectionType));
    if (!connection.isNull()) {
        const QJsonObject object = connection.toObject();
        m_lanEnabled = object.value(key(CfgEnabledLan)).toBool(false);
        m_internetEnabled = object.value(key(CfgEnabledInternet)).toBool(false);
        m_relayEnabled = object.value(key(CfgEnabledRelay)).toBool(false);
    }
    const QJsonValue general = root.value(key(CfgGeneral));
    if (!general.isNull())
        m_autoStart = general.toObject().value(key(CfgAutoStart)).toBool(false);

    kLog.debug() << "All config params are read";
    return true;
}

// A copy exists only while a save in place has not completed, so it holds the settings of the
// last save that did. They are loaded and written back; the copy stays until that succeeds.
void ApplicationSettings::restoreFromCopy()
{
    const QByteArray content = m_file->previousCopy();
    if (content.isEmpty())
        return;
    kLog.error() << "Restoring the settings kept before the last save from" << m_file->copyPath();
    loadDocument(content);
    saveSettings();
}

QByteArray ApplicationSettings::toJson() const
{
    QJsonArray accounts;
    for (const AccountDetails &account : m_accounts) {
        QJsonObject object;
        object.insert(key(CfgAccountName), account.m_accountName);
        object.insert(key(CfgLogin), account.m_login);
        object.insert(key(CfgPassword), account.m_password);
        object.insert(key(CfgLocalPop3Port), account.m_localPop3Port);
        object.insert(key(CfgLocalSmtpPort), account.m_localSmtpPort);
        object.insert(key(CfgShowNotifications), account.m_showNotifications);
        object.insert(key(CfgShowDisconnectedWidget), account.m_showDisconnectedWidget);
        accounts.append(object);
    }
    QJsonObject connection;
    connection.insert(key(CfgEnabledLan), m_lanEnabled);
    connection.insert(key(CfgEnabledInternet), m_internetEnabled);
    connection.insert(key(CfgEnabledRelay), m_relayEnabled);
    QJsonObject general;
    general.insert(key(CfgAutoStart), m_autoStart);

    QJsonObject root;
    root.insert(key(CfgGeneral), general);
    root.insert(key(CfgConnectionType), connection);
    root.insert(key(CfgAccounts), accounts);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool ApplicationSettings::saveSettings()
{
    kLog.trace() << "bool ApplicationSettings::saveSettings()";
    if (!m_file) {
        kLog.error() << "Impossibe to open config file for writing";
        return false;
    }
    return m_file->save(toJson());
}

QString ApplicationSettings::previousCopyPath()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/config.json.previous");
}

void ApplicationSettings::readSettings(QSettings &legacy)
{
    kLog.trace() << "void ApplicationSettings::readSettings(QSettings&)";
    AccountDetails account;
    account.m_login = legacy.value(key(CfgLogin)).toString();
    const int at = account.m_login.indexOf(QLatin1Char('@'));
    account.m_accountName = at < 0 ? account.m_login : account.m_login.left(at);

    // The older versions bound the password to this computer's hardware identifier.
    QSimpleCipher hardwareCipher(QSimpleCipher::kAes256, QSimpleCipher::kCbc, CipherKey,
                                 SysInfoTool::hardwareUid().toLatin1());
    const QByteArray clear = hardwareCipher.decrypt(
        QByteArray::fromBase64(legacy.value(key(CfgPassword)).toString().toLatin1()));
    account.m_password = QString::fromLatin1(m_cipher->encrypt(clear).toBase64());

    const uint pop3 = legacy.value(key(CfgPrevPop3Port), kDefaultLegacyPop3Port).toUInt();
    const uint smtp = legacy.value(key(CfgPrevSmtpPort), kDefaultLegacySmtpPort).toUInt();
    account.m_localPop3Port = static_cast<int>(qMin<uint>(pop3, INT_MAX));
    account.m_localSmtpPort = static_cast<int>(qMin<uint>(smtp, INT_MAX));
    account.m_showNotifications = legacy.value(key(CfgShowNotifications), true).toBool();
    account.m_showDisconnectedWidget = legacy.value(key(CfgShowDisconnectedWidget), true).toBool();
    m_accounts.append(account);

    m_lanEnabled = legacy.value(key(CfgEnabledLan), true).toBool();
    m_internetEnabled = legacy.value(key(CfgEnabledInternet), true).toBool();
    m_relayEnabled = legacy.value(key(CfgEnabledRelay), true).toBool();
    m_autoStart = legacy.value(key(CfgAutoStart), true).toBool();

    if (!saveSettings()) {
        // Kept in memory: the next successful save writes it, and until then the legacy
        // settings stay in place for the next start.
        kLog.error() << "Impossibe to open previous config file";
        kLog.error() << "The migrated settings are kept in memory until a save succeeds";
    }
}

QString ApplicationSettings::storedPassword(const QString &clearPassword) const
{
    return QString::fromLatin1(m_cipher->encrypt(clearPassword.toUtf8()).toBase64());
}

QString ApplicationSettings::clearPassword(const QString &storedPassword) const
{
    QByteArray clear = m_cipher->decrypt(QByteArray::fromBase64(storedPassword.toLatin1()));
    const int zero = clear.indexOf('\0');
    if (zero >= 0)
        clear.truncate(zero);
    // Older versions enciphered the Latin-1 bytes of the password; read those back as Latin-1.
    QTextCodec::ConverterState state;
    const QString text =
        QTextCodec::codecForMib(106)->toUnicode(clear.constData(), clear.size(), &state);
    return state.invalidChars > 0 ? QString::fromLatin1(clear) : text;
}

QList<AccountDetails>::iterator ApplicationSettings::getIter(const QString &accountName)
{
    return std::find_if(m_accounts.begin(), m_accounts.end(), [&](const AccountDetails &account) {
        return account.m_accountName == accountName;
    });
}

QList<AccountDetails>::const_iterator ApplicationSettings::getIter(const QString &accountName) const
{
    return std::find_if(m_accounts.cbegin(), m_accounts.cend(), [&](const AccountDetails &account) {
        return account.m_accountName == accountName;
    });
}

void ApplicationSettings::saveAccountData(const AccountDetails &account)
{
    kLog.trace() << "void ApplicationSettings::saveAccountData(const AccountDetails&)"
                 << account.m_accountName;
    AccountDetails stored = account;
    stored.m_password = storedPassword(account.m_password);
    m_accounts.append(stored);
    saveSettings();
}

void ApplicationSettings::setAccountName(const QString &oldName, const QString &newName)
{
    kLog.trace() << "void ApplicationSettings::setAccountName(const QString&, const QString&)"
                 << oldName << newName;
    const auto it = getIter(oldName);
    if (it != m_accounts.end())
        it->m_accountName = newName;
    saveSettings();
}

QString ApplicationSettings::normalizedLogin(const QString &login)
{
    const QString lower = withMailDomain(login).toLower();
    QString local = lower.left(lower.indexOf(QLatin1Char('@'))).simplified();
    local.remove(QLatin1Char('.'));
    const QString domain = lower.mid(lower.lastIndexOf(QLatin1Char('@')) + 1).simplified();
    return local + QLatin1Char('@') + domain;
}

void ApplicationSettings::setUsername(const QString &accountName, const QString &login)
{
    kLog.trace() << "void ApplicationSettings::setUsername(const QString&, const QString&)"
                 << accountName << login;
    const auto it = getIter(accountName);
    if (it == m_accounts.end())
        return;
    it->m_login = normalizedLogin(login);
    saveSettings();
}

QString ApplicationSettings::userName(const QString &accountName) const
{
    kLog.trace() << "QString ApplicationSettings::userName(const QString&) const" << accountName;
    const auto it = getIter(accountName);
    return it == m_accounts.cend() ? QString() : it->m_login;
}

QString ApplicationSettings::getPassword(const QString &accountName) const
{
    kLog.trace() << "QString ApplicationSettings::getPassword(const QString&) const" << accountName;
    const auto it = getIter(accountName);
    return it == m_accounts.cend() ? QString() : clearPassword(it->m_password);
}

void ApplicationSettings::setPassword(const QString &accountName, const QString &password)
{
    kLog.trace() << "void ApplicationSettings::setPassword(const QString&, const QString&)"
                 << accountName;
    const auto it = getIter(accountName);
    if (it == m_accounts.end())
        return;
    it->m_password = storedPassword(password);
    saveSettings();
}

void ApplicationSettings::setLocalPOP3Port(const QString &accountName, int port)
{
    kLog.trace() << "void ApplicationSettings::setLocalPOP3Port(const QString&, int)" << accountName
                 << port;
    const auto it = getIter(accountName);
    if (it != m_accounts.end())
        it->m_localPop3Port = port;
    saveSettings();
}

int ApplicationSettings::localPOP3Port(const QString &accountName) const
{
    kLog.trace() << "int ApplicationSettings::localPOP3Port(const QString&) const" << accountName;
    const auto it = getIter(accountName);
    return it == m_accounts.cend() ? 0 : it->m_localPop3Port;
}

void ApplicationSettings::setLocalSMTPPort(const QString &accountName, int port)
{
    kLog.trace() << "void ApplicationSettings::setLocalSMTPPort(const QString&, int)" << accountName
                 << port;
    const auto it = getIter(accountName);
    if (it != m_accounts.end())
        it->m_localSmtpPort = port;
    saveSettings();
}

int ApplicationSettings::localSMTPPort(const QString &accountName) const
{
    kLog.trace() << "int ApplicationSettings::localSMTPPort(const QString&) const" << accountName;
    const auto it = getIter(accountName);
    return it == m_accounts.cend() ? 0 : it->m_localSmtpPort;
}

void ApplicationSettings::setShowNotificationsBox(const QString &accountName, bool show)
{
    kLog.trace() << "void ApplicationSettings::setShowNotificationsBox(const QString&, bool)"
                 << accountName << show;
    const auto it = getIter(accountName);
    if (it != m_accounts.end())
        it->m_showNotifications = show;
    saveSettings();
}

void ApplicationSettings::setShowDisconnectedWidget(const QString &accountName, bool show)
{
    kLog.trace() << "void ApplicationSettings::setShowDisconnectedWidget(const QString&, bool)"
                 << accountName << show;
    const auto it = getIter(accountName);
    if (it != m_accounts.end())
        it->m_showDisconnectedWidget = show;
    saveSettings();
}

void ApplicationSettings::deleteAccountInfo(const QString &accountName)
{
    kLog.trace() << "void ApplicationSettings::deleteAccountInfo(const QString&)" << accountName;
    const auto it = getIter(accountName);
    if (it != m_accounts.end())
        m_accounts.erase(it);
    saveSettings();
}

void ApplicationSettings::setAutoStart(bool autoStart)
{
    kLog.trace() << "void ApplicationSettings::setAutoStart(bool)" << autoStart;
    m_autoStart = autoStart;
    saveSettings();
}
