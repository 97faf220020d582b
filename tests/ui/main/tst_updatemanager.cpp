#include "ui/main/updatemanager.h"

#include "support/certificatefactory.h"
#include "support/httpstubserver.h"
#include "support/testmain.h"

using TestSupport::CertificateFactory;
using TestSupport::HttpStubServer;

// The update query goes to a loopback HTTPS stand-in trusted through the test CA. The process has
// one manager and one query at its creation; later rows ask again through the manager's own
// access manager, each of whose replies the manager reports.
class TestUpdateManager : public QObject
{
    Q_OBJECT

    HttpStubServer m_server;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_server.listenHttps(CertificateFactory::leaf().key,
                                     CertificateFactory::leaf().certificate));
        UpdateManager::setBaseUrl(QUrl(m_server.url(QString())));
        UpdateManager::setCaCertificates({CertificateFactory::ca().certificate});
    }

    void reportsOutcome_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("error");
        QTest::newRow("error status") << 503 << int(QNetworkReply::ServiceUnavailableError);
        QTest::newRow("answered") << 200 << int(QNetworkReply::NoError);
    }

    void reportsOutcome()
    {
        QFETCH(int, status);
        QFETCH(int, error);
        m_server.setDefaultResponse(HttpStubServer::Response::withStatus(status, "Reason", "v\n"));
        const int before = m_server.requests().size();
        UpdateManager *manager = UpdateManager::instance(); // the first call sends the query
        QSignalSpy checked(manager, &UpdateManager::checked);
        if (before > 0) {
            const QUrl url = m_server.url(QStringLiteral("/checkupdate.php"));
            manager->findChild<QNetworkAccessManager *>()->get(QNetworkRequest(url));
        }
        QVERIFY(checked.wait(30000));
        QCOMPARE(checked.first(), (QVariantList{status, error}));
        QCOMPARE(m_server.requests().size(), before + 1);
        const HttpStubServer::Request request = m_server.requests().first();
        QCOMPARE(request.head.left(request.head.indexOf('\r')),
                 QByteArray("GET /checkupdate.php HTTP/1.1"));
        QCOMPARE(request.header("Host"), "127.0.0.1:" + QByteArray::number(m_server.serverPort()));
        QCOMPARE(UpdateManager::instance(), manager); // later calls send nothing
    }
};

TOLVANE_TEST_MAIN(TestUpdateManager)
#include "tst_updatemanager.moc"
