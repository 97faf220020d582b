#pragma once

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// Sends the run's one update query at start-up and logs its outcome.
class UpdateManager : public QObject
{
    Q_OBJECT
public:
    // The process-wide update manager; creating it sends the update query.
    static UpdateManager *instance();

    // Where the query goes: "<base>/checkupdate.php". Set before the first instance() call.
    static void setBaseUrl(const QUrl &url);
    static QUrl baseUrl();
    // Certificates trusted for the query in place of the system's (for local stand-ins).
    static void setCaCertificates(const QList<QSslCertificate> &certificates);

    static const char kDefaultBaseUrl[];

Q_SIGNALS:
    // The query ended: with the HTTP status (0 when no answer came) and the network error.
    void checked(int httpStatus, int networkError);

private:
    UpdateManager();
    void sendQuery();
    void onFinished(QNetworkReply *reply);

    QNetworkAccessManager *m_network;
};
