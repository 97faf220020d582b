#pragma once

#include <QHash>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QStringList>

class QAuthenticator;
class QHttpMultiPart;
class QNetworkAccessManager;

// Uploads named text fields and files as one multipart/form-data body by POST or PUT, optionally
// with Basic authorisation, and reports the outcome with success() or fail(). One request runs at
// a time; the form is reused for later uploads. The server's certificate is verified against the
// platform's CAs, or against the CA list set with setCaCertificates().
class MultipartForm : public QObject
{
    Q_OBJECT

public:
    enum Method {
        kPost = 0,
        kPut = 1,
    };
    Q_ENUM(Method)

    enum ErrorCode {
        kNoError = 0,
        kFileNotFound = 1,
        kNetworkError = 2,
        kHttpStatusError = 3,
        kAuthenticationRequired = 5,
        // The form refused to send: a name that cannot be put in a part header, or credentials
        // for a plain-http URL.
        kInvalidRequest = 6,
    };
    Q_ENUM(ErrorCode)

    struct File {
        QString name;
        QString path;
        QString contentType;
        bool removeAfterSend = false;
    };

    explicit MultipartForm(QObject *parent = nullptr);
    ~MultipartForm() override;

    void addAttribute(const QString &name, const QString &value);
    void addFile(const QString &name, const QString &path, const QString &contentType,
                 bool removeAfterSend);
    // Empties the fields, the files and the response; the error state and a running request stay.
    void clear();
    bool isEmpty() const;

    void send(const QString &url, MultipartForm::Method method, const QString &userName,
              const QString &password);
    // Aborts the running request; neither success() nor fail() follows for it.
    void cancel();

    ErrorCode errorCode() const { return m_errorCode; }
    int networkErrorCode() const { return m_networkErrorCode; }
    QString errorString() const { return m_errorText; }
    QString url() const { return m_url; }
    QString response() const { return m_response; }
    bool isBusy() const { return m_busy; }

    // The form takes ownership. A manager replaced while a request runs lives on until that
    // request has finished.
    void setNetworkAccessManager(QNetworkAccessManager *manager);
    QNetworkAccessManager *networkAccessManager() const { return m_manager; }

    // The CAs a server's certificate must chain to; an empty list means the platform's CAs.
    void setCaCertificates(const QList<QSslCertificate> &certificates);
    QList<QSslCertificate> caCertificates() const { return m_caCertificates; }

Q_SIGNALS:
    void success();
    void fail();

private Q_SLOTS:
    void onNetworkReplyFinished();
    void onNetworkReplyError(QNetworkReply::NetworkError errorCode);
    void onNetworkReplySslErrors(const QList<QSslError> &errors);
    void onNetworkReplyUploadProgress(qlonglong bytesSent, qlonglong bytesTotal);
    void onNetworkReplyReadyRead();
    void onNetworkAccessManagerAuthenticationRequired(QNetworkReply *reply, QAuthenticator *auth);

private:
    // Checks names and credentials before anything is built; false with the error text set.
    bool validate(const QString &url, const QString &userName);
    static QStringList markedPaths(const QList<File> &files);
    void removeFiles(const QStringList &paths);
    void failBeforeSending(ErrorCode code, const QString &text);

    // A failure as the form reports it.
    struct Failure
    {
        ErrorCode code = kNoError;
        int networkError = 0;
        QString text;
    };

    QList<QPair<QString, QString>> m_attributes;
    QList<File> m_files;
    QString m_errorText;
    bool m_busy = false;
    bool m_cancelled = false;
    QPointer<QNetworkReply> m_reply;
    QPointer<QNetworkAccessManager> m_manager;
    ErrorCode m_errorCode = kNoError;
    int m_networkErrorCode = 0;
    QString m_url;
    Method m_method = kPost;
    QString m_response;
    QList<QSslCertificate> m_caCertificates;
    // What the running reply has reported before its end. A send refused in between reports its
    // own failure through the fields above; the reply's end then reports this one.
    Failure m_replyFailure;
    // The failures of earlier replies, each replaced as the running one by a send accepted
    // after its error and before its end, which reports it. A cancelled reply is not kept; a
    // reply leaves when it is destroyed.
    QHash<QNetworkReply *, Failure> m_earlierFailures;
};
