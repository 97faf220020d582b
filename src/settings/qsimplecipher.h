#pragma once

#include <QByteArray>

#include <memory>

typedef struct evp_cipher_st EVP_CIPHER;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

// A symmetric AES cipher whose key and IV are derived once from a pass phrase and a salt source.
// Every call starts again from the same IV, so the same clear text always gives the same cipher
// text; the stored passwords rely on that form, so it must not change.
class QSimpleCipher
{
public:
    enum Type : int {
        kAes128 = 0,
        kAes192 = 1,
        kAes256 = 2,
    };

    enum Mode : int {
        kCbc = 0,
        kCfb = 1, // 128-bit feedback
        kEcb = 2,
        kOfb = 3,
    };

    // Never fails outwardly: an unusable combination leaves the object invalid.
    QSimpleCipher(Type type, Mode mode, const QByteArray &passPhrase, const QByteArray &saltSource);
    ~QSimpleCipher();
    QSimpleCipher(const QSimpleCipher &) = delete;
    QSimpleCipher &operator=(const QSimpleCipher &) = delete;

    // The cipher text of the whole input, padding included; empty on any failure.
    QByteArray encrypt(const QByteArray &clearText);
    // The clear text of the whole input, padding removed; empty on any failure (a wrong key
    // nearly always shows as bad padding).
    QByteArray decrypt(const QByteArray &cipherText);

    bool isValid() const { return m_valid; }
    Type type() const { return m_type; }
    Mode mode() const { return m_mode; }
    // The key length in bits of the type; 0 for an unknown type.
    int blockSize() const { return m_blockSize; }

private:
    struct ContextDeleter
    {
        void operator()(EVP_CIPHER_CTX *context) const;
    };
    using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter>;

    const EVP_CIPHER *getEvpCipher() const;
    bool init(const QByteArray &passPhrase, const QByteArray &saltSource);
    int calcBlockSize() const;

    bool m_valid = false;
    Type m_type;
    Mode m_mode;
    int m_blockSize = 0;
    Context m_encryptContext;
    Context m_decryptContext;
    QByteArray m_key;
    QByteArray m_iv;
};
