#include "settings/qsimplecipher.h"

#include "support/testmain.h"

namespace {
const QByteArray kPassPhrase("4rt8,.27mkdj39d81");
const QByteArray kSaltSource("0x71c58Qwe2460x913");
const QByteArray kOtherSaltSource("d41d8cd98f00b204e9800998ecf8427e");
const QByteArray kProbe("Settings of the mail client"); // long enough to tell CFB from OFB
} // namespace

class TestQSimpleCipher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Reference values made with `openssl enc -aes-<bits>-<mode> -K <key> -iv <iv>`, the key and
    // IV derived independently (EVP_BytesToKey, SHA-1, 5 rounds, salt MD5(salt source)[0..8)).
    void knownAnswers_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("saltSource");
        QTest::addColumn<QByteArray>("clear");
        QTest::addColumn<QByteArray>("base64");
        const auto row = [](int type, int mode, const QByteArray &clear, const char *base64,
                            const QByteArray &saltSource = kSaltSource) {
            QTest::addRow("type %d mode %d: %s", type, mode, base64)
                << type << mode << saltSource << clear << QByteArray(base64);
        };
        row(2, 0, "secret", "gfjwRX/W6O+QEL66oFL0ZQ==");
        row(2, 0, "", "DdQT6+dqcdnq07y5PbudFA==");
        row(2, 0, "p\xe4ssw\xf6rd", "C59giVYXmT93MawoXFElYA==");
        row(2, 0, "0123456789abcdef", "hnTU+RSaUSOyCWW55a1mtvDTeJt6c8ToimWsefg4nOc=");
        row(2, 0, "legacy-pw", "+cN9fjiKKXu8OS6+ussGXQ==", kOtherSaltSource);
        row(0, 0, kProbe, "tbaftPIMpQfpQkG1jvnKJIcJnIUvCbpFOfd4fRxur8Q=");
        row(0, 1, kProbe, "mBczImm/hkecnMRIeIB8XJGI+NWOOvooTSc9");
        row(0, 2, kProbe, "+Evr3a8oJACX/y5j4o9LtNCJV2uLB05m6ZeaY78aJ/I=");
        row(0, 3, kProbe, "mBczImm/hkecnMRIeIB8XHkvL+nie5buvVsA");
        row(1, 0, kProbe, "ppFF49VvYyWbq4/LzaZrAzzkdUMB2t0lv8P334Z4DbE=");
        row(1, 1, kProbe, "knbEFlabHw9zi2rPF+8+F6a/9wUgw6VYkJHG");
        row(1, 2, kProbe, "O+GxDyz9db7+j8nFX6G3ch3y4d7XUA7a2Oe1//iZATw=");
        row(1, 3, kProbe, "knbEFlabHw9zi2rPF+8+F/ETDWZ0Khsqe2IT");
        row(2, 0, kProbe, "3uXgQVyrmimty6RZhk9gSEpUwUJs5KD0HKfjp4RuD2k=");
        row(2, 1, kProbe, "zTDncbUSWrGSmePy2VsoJAaWKSOPNAiggbkm");
        row(2, 2, kProbe, "bQW4lph4tV7x7c9q7TWhIn4nvoxBAfD0vNGOqE8nGU0=");
        row(2, 3, kProbe, "zTDncbUSWrGSmePy2VsoJNAqjA96mk513qoa");
        row(3, 0, "", ""); // no such type or mode: an invalid object, whose results are empty
        row(-1, 0, "", "");
        row(2, 4, "", "");
    }
    void knownAnswers()
    {
        QFETCH(int, type);
        QFETCH(int, mode);
        QFETCH(QByteArray, saltSource);
        QFETCH(QByteArray, clear);
        QFETCH(QByteArray, base64);
        const auto make = [&] {
            return QSimpleCipher(QSimpleCipher::Type(type), QSimpleCipher::Mode(mode), kPassPhrase,
                                 saltSource);
        };
        QSimpleCipher cipher = make();
        QCOMPARE(cipher.isValid(), !base64.isEmpty());
        QCOMPARE(cipher.blockSize(), QList<int>({128, 192, 256}).value(type));
        QCOMPARE(cipher.encrypt(clear).toBase64(), base64);
        QCOMPARE(cipher.encrypt(clear).toBase64(), base64); // every call starts from the same IV
        QCOMPARE(make().decrypt(QByteArray::fromBase64(base64)), clear);
    }

    void badCipherText_data()
    {
        QTest::addColumn<QByteArray>("cipherText");
        QTest::addColumn<QByteArray>("saltSource");
        const QByteArray secret = QByteArray::fromBase64("gfjwRX/W6O+QEL66oFL0ZQ==");
        QTest::newRow("15 bytes") << QByteArray(15, 'a') << kSaltSource;
        QTest::newRow("17 bytes") << secret + 'x' << kSaltSource;
        QTest::newRow("other salt source") << secret << kOtherSaltSource;
    }
    void badCipherText()
    {
        QFETCH(QByteArray, cipherText);
        QFETCH(QByteArray, saltSource);
        QSimpleCipher cipher(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, saltSource);
        QCOMPARE(cipher.decrypt(cipherText), QByteArray());
        QCOMPARE(cipher.decrypt(cipher.encrypt(kProbe)), kProbe); // still usable
    }
};

TOLVANE_TEST_MAIN(TestQSimpleCipher)
#include "tst_qsimplecipher.moc"
