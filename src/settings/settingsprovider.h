#pragma once

#include "settings/proxysettings.h"

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QString>
#include <memory>

class QSettings;

// The installation's optional server-settings file "config.cfg" (INI) in the configuration
// directory. The running program takes the registry server's host, port and CA-certificate file
// from it, all three or none (then the built-in defaults apply). The values are read once, when
// the process-wide instance is made.
class SettingsProvider
{
public:
    ~SettingsProvider();
    SettingsProvider(const SettingsProvider &) = delete;
    SettingsProvider &operator=(const SettingsProvider &) = delete;

    // The directory of "config.cfg". Set at start-up before the first instance() call; a later
    // change does not affect an instance that already exists.
    static void setConfigDir(const QString &dir);
    // The process-wide instance, made on first use. Safe to call from any thread. Called before
    // setConfigDir, it reads "config.cfg" from the executable's directory and warns.
    static SettingsProvider *instance();
    // Destroys the instance; the next instance() call reads the file again.
    static void drop();
    static void setiOSHomeDir(const QString &dir);

    QString getRegistryHost() const { return m_registryHost; }
    quint16 getRegistryPort() const { return m_registryPort; }
    // Empty when the file names none: the built-in registry CA certificate applies.
    QString getRegistryCertFile() const { return m_registryCertFile; }

    QString lastError() const;

    // Stores a certificate and its RSA key as "homebridge.crt" and "homebridge.key" (owner-only)
    // in the configuration directory and records them under "ssl_cert" and "ssl_pkey".
    bool setSSLCertificate(const QByteArray &certificatePem, const QByteArray &keyPem);

    QString getRegistryServerType();
    quint16 getPMTPServerPort();
    quint16 getEncryptedPOPServerPort();
    quint16 getEncryptedSMTPServerPort();
    quint16 getExternalSMTPPort();
    quint16 getRelayServerPort();
    quint16 getWebMailServerPort();
    quint16 getWebServerPort();
    qint64 getMaxMessageSize();
    QMap<QString, qint64> getMsgSizeRules();
    bool isExtEmailsPrivacy();
    bool isUPnPEnabled();
    bool isWakeOnLanEnabled();
    QString getDataPath();
    QByteArray getSslPrivateKey();
    QByteArray getSslCertificate();
    QByteArray getSslCACertificate();
    bool getUPnPRemapPorts();
    ProxySettings getProxySettings();
    QString getHostname();
    QString getExternalIp();
    bool isDeliveryNotificationsEnabled();
    bool isSubjectUsedInWebLink();
    quint16 getLogsKeepTime();
    QString getSpamdAddress();
    bool getSpamDelete();
    quint32 getSpamMaxSize();
    quint32 senderParallelRecipients();
    quint32 senderMessagesPerRecipient();
    quint32 senderSmallMessagesPerRecipient();
    quint32 senderThreadCount();
    QString getDbType();
    QString getDbName();
    QString getDbHostName();
    QString getDbPassword();
    quint16 getDbPort();
    QString getDbUserName();
    bool getStatisticStatus();

    static constexpr char CfgFileName[] = "config.cfg";
    static constexpr char CfgGroupMain[] = "Main";
    static constexpr char CfgGroupDataBase[] = "DataBase";
    static constexpr char CfgRegistryHost[] = "registry_host";
    static constexpr char CfgRegistryPort[] = "registry_port";
    static constexpr char CfgRegistryCertFilePath[] = "registry_cert_file";
    static constexpr char kDefaultRegistryHost[] = "registry.tolvane.com";
    static constexpr quint16 kDefaultRegistryPort = 443;
    static constexpr qint64 kMaxFileReadSize = 1024000;

private:
    SettingsProvider();

    void reload();
    void readRegistrySettings();
    QVariant value(const char *group, const char *key);
    QString textValue(const char *group, const char *key, const QString &fallback = QString());
    bool boolValue(const char *key, bool fallback);
    quint64 unsignedValue(const char *group, const char *key, quint64 fallback, bool zeroIsDefault);
    QByteArray readFileNamedBy(const char *key, const QString &defaultName);
    bool writeOwnerOnlyFile(const QString &path, const QByteArray &contents);
    void setLastError(const QString &error);

    // The configuration directory, class-wide: set by setConfigDir(), read when an instance is
    // made. Guarded by a lock of its own, since a worker thread's first instance() may read it.
    static QString m_configDir;

    QString m_configPath;
    QString m_lastError;
    mutable QMutex m_lock;
    std::unique_ptr<QSettings> m_settings;
    QString m_registryHost;
    QString m_registryCertFile;
    quint16 m_registryPort;
};
