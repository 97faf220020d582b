#include "ui/main/updatemanager.h"

#include "log/logger.h"

#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <atomic>

namespace {
const Log::Logger kLog("UpdateManager");

QMutex s_configMutex;
QUrl s_baseUrl(QString::fromLatin1(UpdateManager::kDefaultBaseUrl));
QList<QSslCertificate> s_caCertificates;
std::atomic<UpdateManager *> s_instance{nullptr};
} // namespace

const char UpdateManager::kDefaultBaseUrl[] = "https://update.tolvane.com";

UpdateManager *UpdateManager::instance()
{
    if (UpdateManager *existing = s_instance.load(std::memory_order_acquire))
        return existing;
    static QMutex mutex;
    QMutexLocker locker(&mutex);
    if (!s_instance.load(std::memory_order_relaxed))
        s_instance.store(new UpdateManager, std::memory_order_release); // lives for the run
    return s_instance.load(std::memory_order_relaxed);
}

void UpdateManager::setBaseUrl(const QUrl &url)
{
    QMutexLocker locker(&s_configMutex);
    s_baseUrl = url;
}

QUrl UpdateManager::baseUrl()
{
    QMutexLocker locker(&s_configMutex);
    return s_baseUrl;
}

void UpdateManager::setCaCertificates(const QList<QSslCertificate> &certificates)
{
    QMutexLocker locker(&s_configMutex);
    s_caCertificates = certificates;
}

UpdateManager::UpdateManager() : m_network(new QNetworkAccessManager(this))
{
    connect(m_network, &QNetworkAccessManager::finished, this, &UpdateManager::onFinished);
    sendQuery();
}

void UpdateManager::sendQuery()
{
    QUrl url = baseUrl();
    url.setPath(url.path() + QStringLiteral("/checkupdate.php"));
    QNetworkRequest request(url);
    {
        QMutexLocker locker(&s_configMutex);
        if (!s_caCertificates.isEmpty()) {
            QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
            ssl.setCaCertificates(s_caCertificates);
            request.setSslConfiguration(ssl);
        }
    }
    kLog.debug(this) << "Checking for updates at" << url.toString();
    m_network->get(request);
}

void UpdateManager::onFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError) {
        kLog.info(this) << "Update check answered with HTTP status" << status << "and"
                        << reply->size() << "bytes";
    } else {
        kLog.warn(this) << "Update check failed:" << reply->error() << reply->errorString();
    }
    Q_EMIT checked(status, reply->error());
}
