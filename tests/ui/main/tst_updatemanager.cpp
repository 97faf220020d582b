#include "ui/main/updatemanager.h"

#include "support/certificatefactory.h"
#include "support/testmain.h"
#include "support/tlstestserver.h"

#include <QtTest>

using TestSupport::CertificateFactory;
using TestSupport::TlsTestServer;

// The update query goes to a loopback HTTPS server whose certificate chains to the test CA.
class TestUpdateManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void queryAtCreation()
    {
        TlsTestServer server(CertificateFactory::leaf());
        QVERIFY(server.listenOnLoopback());
        QStringList requestLines;
        QList<QByteArray> requests;
        connect(&server, &TlsTestServer::accepted, this, [&](QSslSocket *socket) {
            auto received = std::make_shared<QByteArray>();
            connect(socket, &QIODevice::readyRead, socket, [&, socket, received] {
                *received += socket->readAll();
                const int end = received->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                requests << received->left(end);
                requestLines << QString::fromLatin1(received->left(received->indexOf("\r\n")));
                received->remove(0, end + 4);
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                              "Content-Length: 7\r\nConnection: close\r\n\r\nlatest\n");
                socket->disconnectFromHost();
            });
        });

        UpdateManager::setBaseUrl(QUrl(QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort())));
        UpdateManager::setCaCertificates({CertificateFactory::ca().certificate});
        QCOMPARE(UpdateManager::baseUrl().port(), int(server.serverPort()));

        UpdateManager *manager = UpdateManager::instance();
        QVERIFY(manager);
        QSignalSpy checked(manager, &UpdateManager::checked);
        QVERIFY(checked.wait(30000));
        QCOMPARE(checked.count(), 1);
        QCOMPARE(checked.first().at(0).toInt(), 200);
        QCOMPARE(checked.first().at(1).toInt(), 0);
        QCOMPARE(requestLines, QStringList{QStringLiteral("GET /checkupdate.php HTTP/1.1")});
        QVERIFY(requests.first().contains(
            QStringLiteral("\r\nHost: 127.0.0.1:%1").arg(server.serverPort()).toLatin1()));
        QCOMPARE(server.sockets().size(), 1);

        // Later calls hand out the same manager and send nothing more.
        QCOMPARE(UpdateManager::instance(), manager);
        QCOMPARE(requestLines.size(), 1);
    }
};

TOLVANE_TEST_MAIN(TestUpdateManager)
#include "tst_updatemanager.moc"
