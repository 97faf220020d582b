#include "core/blockinghttptool.h"

#include "core/gzipdecoder.h"
#include "log/logger.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {
const Log::Logger kLog("BlockingHTTPTool");

// Whether the reply's error stands only for its HTTP status. Qt raises those when a reply with
// a status of 400 or above has been received in full, as a content error, a server error, or
// an invalid operation (400, 418). A failure of the transfer itself, a body that cannot be
// decoded included, is a network, proxy or protocol failure instead, whatever the status.
bool isHttpStatusError(const QNetworkReply &reply)
{
    if (reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() < 400)
        return false;
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::ContentReSendError) // the request could not be repeated
        return false;
    return error == QNetworkReply::ProtocolInvalidOperationError ||
           (error >= QNetworkReply::ContentAccessDenied &&
            error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError &&
            error <= QNetworkReply::UnknownServerError);
}
} // namespace

BlockingHTTPTool::BlockingHTTPTool(QObject *parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this))
{
    connect(m_manager.data(), &QNetworkAccessManager::finished, this,
            &BlockingHTTPTool::processData);
}

BlockingHTTPTool::~BlockingHTTPTool() = default;

QByteArray BlockingHTTPTool::sget(const QString &url, int timeout)
{
    kLog.trace() << "static QByteArray BlockingHTTPTool::sget(const QString&, int)" << url
                 << timeout;
    BlockingHTTPTool tool;
    return tool.get(url, timeout);
}

QByteArray BlockingHTTPTool::get(const QString &url, int timeout)
{
    kLog.trace(this) << "QByteArray BlockingHTTPTool::get(const QString&, int)" << url << timeout;
    QUrl requestUrl(url, QUrl::TolerantMode);
    // The path goes out percent-encoded exactly once, whatever form it was given in.
    const QByteArray path =
        QUrl::toPercentEncoding(requestUrl.path(QUrl::FullyDecoded), "!$&'()*+,;=:@/");
    requestUrl.setPath(QString::fromLatin1(path), QUrl::TolerantMode);

    QNetworkRequest request(requestUrl);
    // Without this header Qt asks for gzip itself and unpacks the answer on its own: it then hides
    // the Content-Length, takes a gzip stream cut short as whole and unpacks each read in full,
    // whatever its size. The body is decoded here instead, checked and under the size limit.
    request.setRawHeader("Accept-Encoding", "identity");
    m_body = kArriving;
    m_decoding = kUndecided;
    m_decoder.reset();
    m_received = 0;
    m_reply = m_manager->get(request);
    const QList<QByteArray> headers = request.rawHeaderList();
    for (const QByteArray &name : headers) {
        kLog.debug(this) << "[Request header]: " << name + ": " + request.rawHeader(name);
    }
    connect(m_reply.data(), &QNetworkReply::errorOccurred, this, &BlockingHTTPTool::slotError);
    // The body is taken as it arrives, so that an endless answer cannot fill the memory.
    connect(m_reply.data(), &QIODevice::readyRead, this, &BlockingHTTPTool::collect);

    QEventLoop loop;
    connect(this, &BlockingHTTPTool::done, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    loop.exec();

    if (m_reply) {
        QNetworkReply *reply = m_reply.data();
        m_reply.clear();
        reply->disconnect();
        reply->readAll();
        reply->close();
        reply->deleteLater();
    }
    // A wait ended by the time-out leaves a reply that may have sent part of its body.
    const QByteArray result = m_body == kWhole ? m_data : QByteArray();
    m_data.clear();
    m_body = kArriving;
    m_decoder.reset();
    return result;
}

void BlockingHTTPTool::processData()
{
    kLog.trace(this) << "void BlockingHTTPTool::processData()";
    collect();
    if (m_reply && m_body == kArriving) {
        // An HTTP error status still comes with the server's whole page; any other error (a
        // connection that failed or broke, a body that could not be decoded) leaves part of a
        // body at most, or bytes that are not the server's.
        const bool broken =
            m_reply->error() != QNetworkReply::NoError && !isHttpStatusError(*m_reply);
        m_body = !broken && isBodyComplete() ? kWhole : kDropped;
        if (m_body == kWhole && m_decoding == kGzip)
            m_data = m_decoder->data();
    }
    Q_EMIT done();
}

void BlockingHTTPTool::collect()
{
    if (!m_reply || m_body == kDropped)
        return;
    if (m_decoding == kUndecided && !chooseDecoding())
        return;
    const QByteArray chunk = m_reply->readAll();
    m_received += chunk.size();
    if (m_received > kMaxBodySize)
        return drop("above the size limit");
    if (m_decoding == kPlain) {
        m_data.append(chunk);
        return;
    }
    m_decoder->feed(chunk);
    if (m_decoder->state() == GzipDecoder::kFailed)
        return drop("not valid gzip");
    if (m_decoder->state() == GzipDecoder::kTooLarge)
        return drop("above the size limit once decoded");
}

bool BlockingHTTPTool::chooseDecoding()
{
    const QByteArray coding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (coding.isEmpty() || coding == "identity") {
        m_decoding = kPlain;
        return true;
    }
    if (coding != "gzip" && coding != "x-gzip") {
        drop("in an unknown encoding: " + coding);
        return false;
    }
    m_decoding = kGzip;
    m_decoder = std::make_unique<GzipDecoder>(kMaxBodySize);
    return true;
}

bool BlockingHTTPTool::isBodyComplete() const
{
    // Qt may take a close of the connection for the end of a body that is cut short.
    const QByteArray length = m_reply->rawHeader("Content-Length");
    if (!length.isNull()) {
        bool valid = false;
        if (length.trimmed().toLongLong(&valid) != m_received || !valid) {
            kLog.warn(this) << "Reply body dropped:" << m_received
                            << "bytes received, Content-Length:" << length;
            return false;
        }
    }
    if (m_decoding == kGzip && m_decoder->state() != GzipDecoder::kEnded) {
        kLog.warn(this) << "Reply body dropped: its gzip data is cut short";
        return false;
    }
    return true;
}

void BlockingHTTPTool::drop(const QByteArray &reason)
{
    kLog.warn(this) << "Reply body dropped:" << reason.constData();
    m_body = kDropped;
    m_data.clear();
    m_reply->abort();
}

void BlockingHTTPTool::slotError(QNetworkReply::NetworkError code)
{
    kLog.error(this) << "[ BlockingHTTPTool ]"
                     << "Network Reply Error Code:" << code;
    // The wait goes on until the reply finishes, which always follows its error: Qt reports an
    // HTTP error status sometimes before the page has arrived, and ending the wait here would
    // lose the page depending on the order of Qt's internal events.
}
