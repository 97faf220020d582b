#include "settings/qsimplecipher.h"

#include <QCryptographicHash>

#include <climits>
#include <cstdio>
#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {
// EVP_BytesToKey's salt is always 8 bytes.
constexpr int kSaltLength = 8;
constexpr int kIterationCount = 5;
// The largest amount a block mode adds to its input.
constexpr int kMaxPadding = EVP_MAX_BLOCK_LENGTH;

unsigned char *bytes(QByteArray &array)
{
    return reinterpret_cast<unsigned char *>(array.data());
}

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

void report(const char *line)
{
    std::fputs(line, stdout);
    std::fflush(stdout);
}
} // namespace

void QSimpleCipher::ContextDeleter::operator()(EVP_CIPHER_CTX *context) const
{
    EVP_CIPHER_CTX_free(context);
}

QSimpleCipher::QSimpleCipher(Type type, Mode mode, const QByteArray &passPhrase,
                             const QByteArray &saltSource)
    : m_type(type), m_mode(mode)
{
    m_blockSize = calcBlockSize();
    m_valid = init(passPhrase, saltSource);
}

QSimpleCipher::~QSimpleCipher()
{
    if (!m_key.isEmpty())
        OPENSSL_cleanse(m_key.data(), static_cast<size_t>(m_key.size()));
    if (!m_iv.isEmpty())
        OPENSSL_cleanse(m_iv.data(), static_cast<size_t>(m_iv.size()));
}

int QSimpleCipher::calcBlockSize() const
{
    switch (m_type) {
    case kAes128:
        return 128;
    case kAes192:
        return 192;
    case kAes256:
        return 256;
    }
    return 0;
}

const EVP_CIPHER *QSimpleCipher::getEvpCipher() const
{
    switch (m_type) {
    case kAes128:
        switch (m_mode) {
        case kCbc:
            return EVP_aes_128_cbc();
        case kCfb:
            return EVP_aes_128_cfb128();
        case kEcb:
            return EVP_aes_128_ecb();
        case kOfb:
            return EVP_aes_128_ofb();
        }
        break;
    case kAes192:
        switch (m_mode) {
        case kCbc:
            return EVP_aes_192_cbc();
        case kCfb:
            return EVP_aes_192_cfb128();
        case kEcb:
            return EVP_aes_192_ecb();
        case kOfb:
            return EVP_aes_192_ofb();
        }
        break;
    case kAes256:
        switch (m_mode) {
        case kCbc:
            return EVP_aes_256_cbc();
        case kCfb:
            return EVP_aes_256_cfb128();
        case kEcb:
            return EVP_aes_256_ecb();
        case kOfb:
            return EVP_aes_256_ofb();
        }
        break;
    }
    return nullptr;
}

bool QSimpleCipher::init(const QByteArray &passPhrase, const QByteArray &saltSource)
{
    const EVP_CIPHER *cipher = getEvpCipher();
    if (!cipher)
        return false;

    const QByteArray salt =
        QCryptographicHash::hash(saltSource, QCryptographicHash::Md5).left(kSaltLength);

    m_key = QByteArray(EVP_MAX_KEY_LENGTH, '\0');
    m_iv = QByteArray(EVP_MAX_IV_LENGTH, '\0');
    const int keyLength =
        EVP_BytesToKey(cipher, EVP_sha1(), bytes(salt), bytes(passPhrase), passPhrase.size(),
                       kIterationCount, bytes(m_key), bytes(m_iv));
    if (keyLength * 8 != m_blockSize) {
        std::printf("Key size is %d bytes - should be %d bits\n", keyLength, m_blockSize);
        std::fflush(stdout);
        return false;
    }

    m_encryptContext.reset(EVP_CIPHER_CTX_new());
    m_decryptContext.reset(EVP_CIPHER_CTX_new());
    if (!m_encryptContext || !m_decryptContext)
        return false;
    if (EVP_EncryptInit_ex(m_encryptContext.get(), cipher, nullptr, bytes(m_key), bytes(m_iv)) != 1)
        return false;
    if (EVP_DecryptInit_ex(m_decryptContext.get(), cipher, nullptr, bytes(m_key), bytes(m_iv)) != 1)
        return false;
    return true;
}

QByteArray QSimpleCipher::encrypt(const QByteArray &clearText)
{
    if (!m_valid)
        return QByteArray();
    EVP_CIPHER_CTX *context = m_encryptContext.get();
    // Back to the derived key and IV, so every call gives the same output for the same input.
    if (EVP_EncryptInit_ex(context, nullptr, nullptr, bytes(m_key), bytes(m_iv)) != 1) {
        report("ERROR in EVP_EncryptInit_ex \n");
        return QByteArray();
    }
    if (clearText.size() > INT_MAX - kMaxPadding) {
        report("ERROR in EVP_EncryptUpdate \n");
        return QByteArray();
    }

    QByteArray out(clearText.size() + kMaxPadding, '\0');
    int written = 0;
    if (EVP_EncryptUpdate(context, bytes(out), &written, bytes(clearText), clearText.size()) != 1) {
        report("ERROR in EVP_EncryptUpdate \n");
        return QByteArray();
    }
    int finalWritten = 0;
    if (EVP_EncryptFinal_ex(context, bytes(out) + written, &finalWritten) != 1) {
        report("ERROR in EVP_EncryptFinal_ex \n");
        return QByteArray();
    }
    out.resize(written + finalWritten);
    return out;
}

QByteArray QSimpleCipher::decrypt(const QByteArray &cipherText)
{
    if (!m_valid)
        return QByteArray();
    EVP_CIPHER_CTX *context = m_decryptContext.get();
    if (EVP_DecryptInit_ex(context, nullptr, nullptr, bytes(m_key), bytes(m_iv)) != 1) {
        report("ERROR in EVP_DecryptInit_ex\n");
        return QByteArray();
    }
    if (cipherText.size() > INT_MAX - kMaxPadding) {
        report("ERROR in EVP_DecryptUpdate\n");
        return QByteArray();
    }

    QByteArray out(cipherText.size() + kMaxPadding, '\0');
    int written = 0;
    if (EVP_DecryptUpdate(context, bytes(out), &written, bytes(cipherText), cipherText.size()) !=
        1) {
        report("ERROR in EVP_DecryptUpdate\n");
        return QByteArray();
    }
    int finalWritten = 0;
    if (EVP_DecryptFinal_ex(context, bytes(out) + written, &finalWritten) != 1) {
        OPENSSL_cleanse(out.data(), static_cast<size_t>(out.size()));
        report("ERROR in EVP_DecryptFinal_ex\n");
        return QByteArray();
    }
    out.resize(written + finalWritten);
    return out;
}
