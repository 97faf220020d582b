#include "settings/qsimplecipher.h"

#include "support/stdoutcapture.h"
#include "support/testmain.h"

#include <QtTest>

namespace {
const QByteArray kPassPhrase("4rt8,.27mkdj39d81");
const QByteArray kSaltSource("0x71c58Qwe2460x913");
// Long enough to tell CFB from OFB (they agree on the first block).
const QByteArray kModeProbe("Settings of the mail client");
} // namespace

class TestQSimpleCipher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void storeKnownAnswers_data();
    void storeKnownAnswers();
    void everyTypeAndMode_data();
    void everyTypeAndMode();
    void outputLengths_data();
    void outputLengths();
    void repeatedCallsAgree();
    void separateObjectsAgree();
    void nonAsciiRoundTrip_data();
    void nonAsciiRoundTrip();
    void otherSaltSourceFails();
    void badCipherTextFails_data();
    void badCipherTextFails();
    void usableAfterFailure();
    void unknownTypeOrMode_data();
    void unknownTypeOrMode();
};

// Reference values made with `openssl enc -aes-256-cbc -K <key> -iv <iv>`, the key and IV
// derived independently (EVP_BytesToKey with SHA-1, 5 rounds, salt = MD5(salt source)[0..8)).
void TestQSimpleCipher::storeKnownAnswers_data()
{
    QTest::addColumn<QByteArray>("clear");
    QTest::addColumn<QByteArray>("base64");
    QTest::newRow("secret") << QByteArray("secret") << QByteArray("gfjwRX/W6O+QEL66oFL0ZQ==");
    QTest::newRow("empty") << QByteArray("") << QByteArray("DdQT6+dqcdnq07y5PbudFA==");
    QTest::newRow("latin-1 bytes")
        << QByteArray("p\xe4ssw\xf6rd") << QByteArray("C59giVYXmT93MawoXFElYA==");
    QTest::newRow("one full block") << QByteArray("0123456789abcdef")
                                    << QByteArray("hnTU+RSaUSOyCWW55a1mtvDTeJt6c8ToimWsefg4nOc=");
}

void TestQSimpleCipher::storeKnownAnswers()
{
    QFETCH(QByteArray, clear);
    QFETCH(QByteArray, base64);
    QSimpleCipher cipher(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, kSaltSource);
    QVERIFY(cipher.isValid());
    QCOMPARE(cipher.encrypt(clear).toBase64(), base64);
    QCOMPARE(cipher.decrypt(QByteArray::fromBase64(base64)), clear);
}

void TestQSimpleCipher::everyTypeAndMode_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<QByteArray>("base64");
    QTest::newRow("128 cbc") << 0 << 0 << 128
                             << QByteArray("tbaftPIMpQfpQkG1jvnKJIcJnIUvCbpFOfd4fRxur8Q=");
    QTest::newRow("128 cfb") << 0 << 1 << 128 << QByteArray("mBczImm/hkecnMRIeIB8XJGI+NWOOvooTSc9");
    QTest::newRow("128 ecb") << 0 << 2 << 128
                             << QByteArray("+Evr3a8oJACX/y5j4o9LtNCJV2uLB05m6ZeaY78aJ/I=");
    QTest::newRow("128 ofb") << 0 << 3 << 128 << QByteArray("mBczImm/hkecnMRIeIB8XHkvL+nie5buvVsA");
    QTest::newRow("192 cbc") << 1 << 0 << 192
                             << QByteArray("ppFF49VvYyWbq4/LzaZrAzzkdUMB2t0lv8P334Z4DbE=");
    QTest::newRow("192 cfb") << 1 << 1 << 192 << QByteArray("knbEFlabHw9zi2rPF+8+F6a/9wUgw6VYkJHG");
    QTest::newRow("192 ecb") << 1 << 2 << 192
                             << QByteArray("O+GxDyz9db7+j8nFX6G3ch3y4d7XUA7a2Oe1//iZATw=");
    QTest::newRow("192 ofb") << 1 << 3 << 192 << QByteArray("knbEFlabHw9zi2rPF+8+F/ETDWZ0Khsqe2IT");
    QTest::newRow("256 cbc") << 2 << 0 << 256
                             << QByteArray("3uXgQVyrmimty6RZhk9gSEpUwUJs5KD0HKfjp4RuD2k=");
    QTest::newRow("256 cfb") << 2 << 1 << 256 << QByteArray("zTDncbUSWrGSmePy2VsoJAaWKSOPNAiggbkm");
    QTest::newRow("256 ecb") << 2 << 2 << 256
                             << QByteArray("bQW4lph4tV7x7c9q7TWhIn4nvoxBAfD0vNGOqE8nGU0=");
    QTest::newRow("256 ofb") << 2 << 3 << 256 << QByteArray("zTDncbUSWrGSmePy2VsoJNAqjA96mk513qoa");
}

void TestQSimpleCipher::everyTypeAndMode()
{
    QFETCH(int, type);
    QFETCH(int, mode);
    QFETCH(int, blockSize);
    QFETCH(QByteArray, base64);
    QSimpleCipher cipher(static_cast<QSimpleCipher::Type>(type),
                         static_cast<QSimpleCipher::Mode>(mode), kPassPhrase, kSaltSource);
    QVERIFY(cipher.isValid());
    QCOMPARE(int(cipher.type()), type);
    QCOMPARE(int(cipher.mode()), mode);
    QCOMPARE(cipher.blockSize(), blockSize);
    QCOMPARE(cipher.encrypt(kModeProbe).toBase64(), base64);
    QCOMPARE(cipher.decrypt(QByteArray::fromBase64(base64)), kModeProbe);
}

void TestQSimpleCipher::outputLengths_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("inputLength");
    QTest::addColumn<int>("outputLength");
    QTest::newRow("cbc 0") << 0 << 0 << 16;
    QTest::newRow("cbc 1") << 0 << 1 << 16;
    QTest::newRow("cbc 15") << 0 << 15 << 16;
    QTest::newRow("cbc 16") << 0 << 16 << 32;
    QTest::newRow("cbc 17") << 0 << 17 << 32;
    QTest::newRow("ecb 16") << 2 << 16 << 32;
    QTest::newRow("cfb 0") << 1 << 0 << 0;
    QTest::newRow("cfb 17") << 1 << 17 << 17;
    QTest::newRow("ofb 33") << 3 << 33 << 33;
}

void TestQSimpleCipher::outputLengths()
{
    QFETCH(int, mode);
    QFETCH(int, inputLength);
    QFETCH(int, outputLength);
    QSimpleCipher cipher(QSimpleCipher::kAes256, static_cast<QSimpleCipher::Mode>(mode),
                         kPassPhrase, kSaltSource);
    const QByteArray input(inputLength, 'x');
    const QByteArray output = cipher.encrypt(input);
    QCOMPARE(output.size(), outputLength);
    QCOMPARE(cipher.decrypt(output), input);
}

void TestQSimpleCipher::repeatedCallsAgree()
{
    QSimpleCipher cipher(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, kSaltSource);
    const QByteArray first = cipher.encrypt("repeat me");
    QVERIFY(!first.isEmpty());
    QCOMPARE(cipher.encrypt("repeat me"), first);
    QCOMPARE(cipher.decrypt(first), QByteArray("repeat me"));
    QCOMPARE(cipher.decrypt(first), QByteArray("repeat me"));
}

void TestQSimpleCipher::separateObjectsAgree()
{
    QSimpleCipher writer(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, kSaltSource);
    QSimpleCipher reader(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, kSaltSource);
    const QByteArray cipherText = writer.encrypt("shared between objects");
    QCOMPARE(reader.decrypt(cipherText), QByteArray("shared between objects"));
}

void TestQSimpleCipher::nonAsciiRoundTrip_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("german") << QString::fromUtf8("Grüße-Straße");
    QTest::newRow("cyrillic") << QString::fromUtf8("пароль");
    QTest::newRow("emoji") << QString::fromUtf8("key🔑lock");
    QTest::newRow("embedded zero") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"));
}

void TestQSimpleCipher::nonAsciiRoundTrip()
{
    QFETCH(QString, password);
    QSimpleCipher cipher(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, kSaltSource);
    const QByteArray utf8 = password.toUtf8();
    const QByteArray back = cipher.decrypt(cipher.encrypt(utf8));
    QCOMPARE(back, utf8);
    QCOMPARE(QString::fromUtf8(back.constData(), back.size()), password);
}

void TestQSimpleCipher::otherSaltSourceFails()
{
    QSimpleCipher store(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, kSaltSource);
    QSimpleCipher other(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase,
                        QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
    // Checked with openssl enc as well: "legacy-pw" under the MD5-of-nothing salt source.
    QCOMPARE(other.encrypt("legacy-pw").toBase64(), QByteArray("+cN9fjiKKXu8OS6+ussGXQ=="));

    const QByteArray cipherText = store.encrypt("a password of reasonable length");
    TestSupport::StdoutCapture capture;
    QVERIFY(capture.isActive());
    const QByteArray result = other.decrypt(cipherText);
    const QByteArray printed = capture.finish();
    QVERIFY(result.isEmpty());
    QCOMPARE(printed, QByteArray("ERROR in EVP_DecryptFinal_ex\n"));
}

void TestQSimpleCipher::badCipherTextFails_data()
{
    QTest::addColumn<QByteArray>("cipherText");
    QTest::newRow("15 bytes") << QByteArray(15, 'a');
    QTest::newRow("17 bytes") << QByteArray::fromBase64("gfjwRX/W6O+QEL66oFL0ZQ==") + 'x';
    QTest::newRow("truncated") << QByteArray::fromBase64("gfjwRX/W6O+QEL66oFL0ZQ==").left(8);
}

void TestQSimpleCipher::badCipherTextFails()
{
    QFETCH(QByteArray, cipherText);
    QSimpleCipher cipher(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, kSaltSource);
    TestSupport::StdoutCapture capture;
    QVERIFY(capture.isActive());
    const QByteArray result = cipher.decrypt(cipherText);
    const QByteArray printed = capture.finish();
    QVERIFY(result.isEmpty());
    QCOMPARE(printed, QByteArray("ERROR in EVP_DecryptFinal_ex\n"));
}

void TestQSimpleCipher::usableAfterFailure()
{
    QSimpleCipher cipher(QSimpleCipher::kAes256, QSimpleCipher::kCbc, kPassPhrase, kSaltSource);
    {
        TestSupport::StdoutCapture capture;
        QVERIFY(cipher.decrypt(QByteArray(20, 'z')).isEmpty());
    }
    QCOMPARE(cipher.encrypt("secret").toBase64(), QByteArray("gfjwRX/W6O+QEL66oFL0ZQ=="));
    QCOMPARE(cipher.decrypt(QByteArray::fromBase64("gfjwRX/W6O+QEL66oFL0ZQ==")),
             QByteArray("secret"));
}

void TestQSimpleCipher::unknownTypeOrMode_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("blockSize");
    QTest::newRow("type 3") << 3 << 0 << 0;
    QTest::newRow("type -1") << -1 << 0 << 0;
    QTest::newRow("mode 4") << 2 << 4 << 256;
}

void TestQSimpleCipher::unknownTypeOrMode()
{
    QFETCH(int, type);
    QFETCH(int, mode);
    QFETCH(int, blockSize);
    TestSupport::StdoutCapture capture;
    QVERIFY(capture.isActive());
    QSimpleCipher cipher(static_cast<QSimpleCipher::Type>(type),
                         static_cast<QSimpleCipher::Mode>(mode), kPassPhrase, kSaltSource);
    const bool valid = cipher.isValid();
    const int size = cipher.blockSize();
    const QByteArray encrypted = cipher.encrypt("anything");
    const QByteArray decrypted = cipher.decrypt(QByteArray(16, 'a'));
    const QByteArray printed = capture.finish();
    QVERIFY(!valid);
    QCOMPARE(size, blockSize);
    QVERIFY(encrypted.isEmpty());
    QVERIFY(decrypted.isEmpty());
    QCOMPARE(printed, QByteArray());
}

TOLVANE_TEST_MAIN(TestQSimpleCipher)
#include "tst_qsimplecipher.moc"
