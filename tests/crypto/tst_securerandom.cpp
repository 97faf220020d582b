#include "crypto/securerandom.h"
#include "support/testmain.h"

class TestSecureRandom : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void randomData()
    {
        const QByteArray data = TolvaneMail::SecureRandom::getSecureRandomData();
        QCOMPARE(data.size(), 256);
        QVERIFY(QSet<char>(data.cbegin(), data.cend()).size() > 100); // no run of one value
    }
};

TOLVANE_TEST_MAIN(TestSecureRandom)
#include "tst_securerandom.moc"
