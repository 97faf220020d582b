#include "core/extsslsocket.h"

#include "support/certificatefactory.h"
#include "support/testmain.h"

#include <QtTest>

using TestSupport::CertificateFactory;

class TestExtSslSocket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pemChain_data()
    {
        QTest::addColumn<QByteArray>("pem");
        QTest::addColumn<QList<QSslCertificate>>("expected");
        QTest::addColumn<bool>("ok");

        const auto &leaf = CertificateFactory::leaf();
        const auto &ca = CertificateFactory::ca();
        const auto &foreign = CertificateFactory::foreignCa();
        const QByteArray corrupt =
            "-----BEGIN CERTIFICATE-----\nMIIBroken+Base64==\n-----END CERTIFICATE-----\n";
        QTest::newRow("three") << leaf.certificatePem + ca.certificatePem + foreign.certificatePem
                               << QList<QSslCertificate>{leaf.certificate, ca.certificate,
                                                         foreign.certificate}
                               << true;
        QTest::newRow("corrupt middle")
            << leaf.certificatePem + corrupt + foreign.certificatePem
            << QList<QSslCertificate>{leaf.certificate, foreign.certificate} << false;
        QTest::newRow("order kept") << foreign.certificatePem + leaf.certificatePem
                                    << QList<QSslCertificate>{foreign.certificate, leaf.certificate}
                                    << true;
        QTest::newRow("blank lines between")
            << "\n\n" + leaf.certificatePem + "\r\n \n" + ca.certificatePem + "\n\n"
            << QList<QSslCertificate>{leaf.certificate, ca.certificate} << true;
        QTest::newRow("empty") << QByteArray() << QList<QSslCertificate>() << true;
        QTest::newRow("only whitespace") << QByteArray(" \n\t\n") << QList<QSslCertificate>() << true;
        QTest::newRow("text before the first certificate")
            << "Bag Attributes\n" + leaf.certificatePem << QList<QSslCertificate>{leaf.certificate}
            << false;
        QTest::newRow("marker without body") << QByteArray("-----BEGIN CERTIFICATE-----")
                                             << QList<QSslCertificate>() << true;
        QTest::newRow("binary junk") << QByteArray("\x00\xff\x10-----BEGIN CERTIFICATE-----\x01", 31)
                                     << QList<QSslCertificate>() << false;
    }

    void pemChain()
    {
        QFETCH(QByteArray, pem);
        QFETCH(QList<QSslCertificate>, expected);
        QFETCH(bool, ok);
        bool flag = !ok;
        QCOMPARE(ExtSslSocket::extractCertificatesFromPemChain(pem, &flag), expected);
        QCOMPARE(flag, ok);
        QCOMPARE(ExtSslSocket::extractCertificatesFromPemChain(pem), expected);
    }
};

TOLVANE_TEST_MAIN(TestExtSslSocket)
#include "tst_extsslsocket.moc"
