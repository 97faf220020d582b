#include "crypto/securerandom.h"
#include "support/testmain.h"

#include <openssl/rand.h>

class TestSecureRandom : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void randomData()
    {
        const QByteArray first = TolvaneMail::SecureRandom::getSecureRandomData();
        const QByteArray second = TolvaneMail::SecureRandom::getSecureRandomData();
        QCOMPARE(first.size(), 256);
        QCOMPARE(second.size(), 256);
        QVERIFY(first != second);
        // Not a run of one value: at least 100 distinct bytes in 256 random ones.
        QSet<char> distinct(first.cbegin(), first.cend());
        QVERIFY(distinct.size() > 100);
    }

    void seedsOpenSsl()
    {
        TolvaneMail::SecureRandom::secureInitOpensslRand();
        QCOMPARE(RAND_status(), 1);
    }
};

TOLVANE_TEST_MAIN(TestSecureRandom)
#include "tst_securerandom.moc"
