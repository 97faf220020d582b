#include "crypto/securerandom.h"
#include "support/testmain.h"

class TestSecureRandom : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void randomData()
    {
        const QByteArray first = TolvaneMail::SecureRandom::getSecureRandomData();
        QCOMPARE(first.size(), 256);
        QVERIFY(TolvaneMail::SecureRandom::getSecureRandomData() != first);
        // 256 random bytes are no run of one value: far more than 100 of them differ.
        QVERIFY(QSet<char>(first.cbegin(), first.cend()).size() > 100);
    }
};

TOLVANE_TEST_MAIN(TestSecureRandom)
#include "tst_securerandom.moc"
