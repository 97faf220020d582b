#include "core/multipartform.h"

#include "log/logger.h"

#include <QAuthenticator>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

namespace {
const Log::Logger kLog("MultipartForm");

// The marked files of a request travel with its reply: a send accepted after the reply's error
// but before its end must not take them over.
const char kRemoveAfterSendProperty[] = "removeAfterSend";

// A name goes between double quotes in a part header; these would end the quotes or the header.
bool isHeaderSafe(const QString &text)
{
    return !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\r'))
        && !text.contains(QLatin1Char('\n'));
}
} // namespace

MultipartForm::MultipartForm(QObject *parent) : QObject(parent) {}

MultipartForm::~MultipartForm()
{
    if (m_reply) {
        // The reply goes with its manager below; it must not call back into this half-destroyed
        // form on its way out.
        disconnect(m_reply.data(), nullptr, this, nullptr);
        m_reply->abort();
        removeFiles(m_reply->property(kRemoveAfterSendProperty).toStringList());
    }
}

void MultipartForm::addAttribute(const QString &name, const QString &value)
{
    kLog.trace(this) << "void MultipartForm::addAttribute(const QString &, const QString &)"
                     << name;
    m_attributes.append(qMakePair(name, value));
}

void MultipartForm::addFile(const QString &name, const QString &path, const QString &contentType,
                            bool removeAfterSend)
{
    kLog.trace(this)
        << "void MultipartForm::addFile(const QString &, const QString &, const QString &, bool)"
        << name << path << contentType << removeAfterSend;
    File file;
    file.name = name;
    file.path = path;
    file.contentType = contentType;
    file.removeAfterSend = removeAfterSend;
    m_files.append(file);
}

void MultipartForm::clear()
{
    kLog.trace(this) << "void MultipartForm::clear()";
    m_attributes.clear();
    m_files.clear();
    m_response.clear();
}

bool MultipartForm::isEmpty() const
{
    return m_attributes.isEmpty() && m_files.isEmpty();
}

void MultipartForm::setCaCertificates(const QList<QSslCertificate> &certificates)
{
    kLog.trace(this) << "void MultipartForm::setCaCertificates(const QList<QSslCertificate> &)"
                     << certificates.size();
    m_caCertificates = certificates;
}

void MultipartForm::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    kLog.trace(this) << "void MultipartForm::setNetworkAccessManager(QNetworkAccessManager *)"
                     << manager;
    if (!manager || manager == m_manager)
        return;
    QNetworkAccessManager *previous = m_manager.data();
    m_manager = manager;
    manager->setParent(this);
    connect(manager, &QNetworkAccessManager::authenticationRequired, this,
            &MultipartForm::onNetworkAccessManagerAuthenticationRequired);
    if (!previous)
        return;
    if (m_reply && m_reply->manager() == previous) {
        // The running reply belongs to the previous manager: both stay until the reply is over.
        connect(m_reply.data(), &QNetworkReply::finished, previous, &QObject::deleteLater);
    } else {
        delete previous;
    }
}

void MultipartForm::failBeforeSending(ErrorCode code, const QString &text)
{
    m_errorText = text;
    m_errorCode = code;
    m_networkErrorCode = 0;
    removeFiles(markedPaths(m_files));
    m_busy = false;
    Q_EMIT fail();
}

bool MultipartForm::validate(const QString &url, const QString &userName)
{
    for (const auto &attribute : qAsConst(m_attributes)) {
        if (!isHeaderSafe(attribute.first)) {
            kLog.error(this) << "field name holds a double quote, CR or LF:" << attribute.first;
            failBeforeSending(kInvalidRequest,
                              QStringLiteral("The field name %1 holds a double quote, CR or LF!")
                                  .arg(attribute.first));
            return false;
        }
    }
    for (const File &file : qAsConst(m_files)) {
        const QString fileName = QFileInfo(file.path).fileName();
        if (!isHeaderSafe(file.name) || !isHeaderSafe(fileName)) {
            kLog.error(this) << "file field or file name holds a double quote, CR or LF:"
                             << file.name << fileName;
            failBeforeSending(kInvalidRequest,
                              QStringLiteral("The field name %1 or file name %2 holds a double "
                                             "quote, CR or LF!")
                                  .arg(file.name, fileName));
            return false;
        }
        if (file.contentType.contains(QLatin1Char('\r'))
            || file.contentType.contains(QLatin1Char('\n'))) {
            kLog.error(this) << "content type holds CR or LF:" << file.contentType;
            failBeforeSending(kInvalidRequest,
                              QStringLiteral("The content type %1 holds CR or LF!")
                                  .arg(file.contentType));
            return false;
        }
    }
    if (!userName.isEmpty()
        && QUrl(url, QUrl::TolerantMode).scheme().compare(QLatin1String("https"),
                                                          Qt::CaseInsensitive)
            != 0) {
        kLog.error(this) << "credentials are only sent over https, url=" << url;
        failBeforeSending(kInvalidRequest,
                          QStringLiteral("Credentials are only sent over https, not to %1!")
                              .arg(url));
        return false;
    }
    return true;
}

void MultipartForm::send(const QString &url, MultipartForm::Method method,
                         const QString &userName, const QString &password)
{
    kLog.trace(this) << "void MultipartForm::send(const QString &, MultipartForm::Method, const "
                        "QString &, const QString &)";
    kLog.debug(this) << "url=" << url << "userName=" << userName;
    if (m_busy) {
        kLog.error(this) << "send called when another request is in progress";
        kLog.debug(this) << "m_url=" << m_url;
        return;
    }
    const bool earlierCancelled = m_cancelled;
    m_url = url;
    m_method = method;
    m_busy = true;
    m_cancelled = false;
    m_errorCode = kNoError;
    m_networkErrorCode = 0;

    if (!validate(url, userName))
        return;

    if (!m_manager)
        setNetworkAccessManager(new QNetworkAccessManager(this));

    // Owned by the form until the reply finishes; it takes the opened files with it.
    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType, this);
    for (const auto &attribute : qAsConst(m_attributes)) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"%1\"").arg(attribute.first));
        part.setBody(attribute.second.toUtf8());
        body->append(part);
    }
    for (const File &file : qAsConst(m_files)) {
        if (!QFile::exists(file.path)) {
            kLog.error(this) << "The file " << file.path << " not found!";
            delete body;
            failBeforeSending(kFileNotFound, QStringLiteral("The file %1 not found!").arg(file.path));
            return;
        }
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentTypeHeader, file.contentType);
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"%1\"; filename=\"%2\"")
                           .arg(file.name, QFileInfo(file.path).fileName()));
        auto *device = new QFile(file.path, body);
        device->open(QIODevice::ReadOnly); // an unreadable file goes out with what it yields
        part.setBodyDevice(device);
        body->append(part);
    }

    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    if (!userName.isEmpty()) {
        request.setRawHeader("Authorization",
                             "Basic "
                                 + QStringLiteral("%1:%2").arg(userName, password).toLatin1()
                                       .toBase64());
    }
    if (!m_caCertificates.isEmpty()) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(m_caCertificates);
        request.setSslConfiguration(configuration);
    }

    QNetworkReply *reply =
        method == kPut ? m_manager->put(request, body) : m_manager->post(request, body);
    reply->setProperty(kRemoveAfterSendProperty, markedPaths(m_files));
    connect(reply, &QNetworkReply::finished, body, &QObject::deleteLater);
    connect(reply, &QNetworkReply::finished, this, &MultipartForm::onNetworkReplyFinished);
    connect(reply, &QNetworkReply::errorOccurred, this, &MultipartForm::onNetworkReplyError);
    connect(reply, &QNetworkReply::sslErrors, this, &MultipartForm::onNetworkReplySslErrors);
    connect(reply, &QNetworkReply::uploadProgress, this,
            &MultipartForm::onNetworkReplyUploadProgress);
    connect(reply, &QIODevice::readyRead, this, &MultipartForm::onNetworkReplyReadyRead);
    if (m_reply && !earlierCancelled) {
        // The reply this one replaces has failed but not ended; its end reports that failure.
        QNetworkReply *earlier = m_reply.data();
        m_earlierFailures.insert(earlier, m_replyFailure);
        connect(earlier, &QObject::destroyed, this,
                [this, earlier] { m_earlierFailures.remove(earlier); });
    }
    m_reply = reply;
    m_replyFailure = Failure();
}

void MultipartForm::cancel()
{
    kLog.trace(this) << "void MultipartForm::cancel()";
    m_cancelled = true;
    if (m_reply)
        m_reply->abort();
}

void MultipartForm::onNetworkReplyReadyRead()
{
    kLog.trace(this) << "void MultipartForm::onNetworkReplyReadyRead()";
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_reply)
        return;
    const QByteArray bytes = reply->readAll();
    if (kLog.isTrace())
        kLog.trace(this) << bytes;
    m_response += QString::fromLatin1(bytes);
}

void MultipartForm::onNetworkReplyUploadProgress(qlonglong bytesSent, qlonglong bytesTotal)
{
    kLog.trace(this) << "onNetworkReplyUploadProgress(bytesSent=" << bytesSent
                     << ",bytesTotal=" << bytesTotal << ");";
}

void MultipartForm::onNetworkReplySslErrors(const QList<QSslError> &errors)
{
    kLog.trace(this) << "void MultipartForm::onNetworkReplySslErrors(QList<QSslError>)";
    // Not ignored: the handshake fails and the error handler reports it.
    kLog.warn(this) << "ssl errors: " << errors;
}

void MultipartForm::onNetworkReplyError(QNetworkReply::NetworkError errorCode)
{
    kLog.trace(this) << "void MultipartForm::onNetworkReplyError(QNetworkReply::NetworkError)"
                     << errorCode;
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_reply)
        return; // an earlier request's failure has been recorded with its first error
    m_busy = false;
    m_errorText = reply->errorString();
    kLog.error(this) << errorCode << ":" << m_errorText;
    m_errorCode = kNetworkError;
    m_networkErrorCode = errorCode;
    m_replyFailure = {m_errorCode, m_networkErrorCode, m_errorText};
}

void MultipartForm::onNetworkAccessManagerAuthenticationRequired(QNetworkReply *reply,
                                                                 QAuthenticator *auth)
{
    kLog.trace(this) << "void MultipartForm::onNetworkAccessManagerAuthenticationRequired("
                        "QNetworkReply *, QAuthenticator *)";
    m_errorText = QStringLiteral("Authentification failed");
    m_errorCode = kAuthenticationRequired;
    if (reply == m_reply)
        m_replyFailure = {m_errorCode, 0, m_errorText};
    reply->abort();
}

void MultipartForm::onNetworkReplyFinished()
{
    kLog.trace(this) << "void MultipartForm::onNetworkReplyFinished()";
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->readAll();
    removeFiles(reply->property(kRemoveAfterSendProperty).toStringList());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    kLog.debug(this) << "Result status:" << status;
    reply->deleteLater();
    Failure failure;
    if (reply == m_reply) {
        m_busy = false;
        m_reply.clear();
        if (m_cancelled)
            return;
        failure = m_replyFailure;
    } else {
        // A request that failed and was followed by another send, which runs on: this one still
        // reports its own failure, without touching the running request's state.
        kLog.debug(this) << "earlier request ended";
        const auto earlier = m_earlierFailures.constFind(reply);
        if (earlier == m_earlierFailures.constEnd())
            return; // cancelled
        failure = earlier.value();
        m_earlierFailures.erase(earlier);
    }
    // Sends refused or accepted since this reply's error have reported through the same fields;
    // this request reports its own outcome.
    m_errorCode = failure.code;
    m_networkErrorCode = failure.networkError;
    if (failure.code != kNoError)
        m_errorText = failure.text;
    if (m_errorCode == kNoError
        || (m_errorCode == kNetworkError
            && m_networkErrorCode == QNetworkReply::UnknownNetworkError)) {
        if (status >= 200 && status <= 299) {
            Q_EMIT success();
        } else {
            m_errorCode = kHttpStatusError;
            m_errorText = QStringLiteral("HTTP Status code: ") + QString::number(status);
            Q_EMIT fail();
        }
        return;
    }
    Q_EMIT fail();
}

QStringList MultipartForm::markedPaths(const QList<File> &files)
{
    QStringList paths;
    for (const File &file : files) {
        if (file.removeAfterSend)
            paths.append(file.path);
    }
    return paths;
}

void MultipartForm::removeFiles(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (QFile::exists(path) && !QFile::remove(path))
            kLog.warn(this) << "cannot remove" << path;
    }
}
