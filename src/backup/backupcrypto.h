#pragma once
// The few cryptographic operations encrypted backups need, all done by OpenSSL's libcrypto:
// PBKDF2-HMAC-SHA1, RFC 3394 AES key wrap and unwrap, and AES-256-CBC decryption as one stream.
#include <QByteArray>

#include <memory>

struct evp_cipher_ctx_st;

// PBKDF2 with HMAC-SHA1. Empty when iterations < 1, length < 1 or the library fails.
QByteArray pbkdf2HmacSha1(const QByteArray& password, const QByteArray& salt, int iterations, int length);

// RFC 3394 unwrap under a 256-bit key-encryption key. Empty when kek is not 32 bytes, wrapped is
// shorter than 24 bytes or not a multiple of 8, or the integrity check fails.
QByteArray aesKeyUnwrap(const QByteArray& kek, const QByteArray& wrapped);
// RFC 3394 wrap, the mirror of aesKeyUnwrap (used to build sample backups). Empty when kek is not
// 32 bytes, or key is shorter than 16 bytes or not a multiple of 8.
QByteArray aesKeyWrap(const QByteArray& kek, const QByteArray& key);

// AES-256-CBC decryption of one stream fed in pieces: the chaining value carries over from piece
// to piece. No padding is removed; the caller knows where the plain text ends.
class AesCbcDecryptor {
public:
    static constexpr int blockSize = 16;

    // key must be 32 bytes; iv 16 bytes (a null iv means zeros). Throws std::invalid_argument for
    // other sizes and std::runtime_error when the library cannot set up the cipher.
    explicit AesCbcDecryptor(const QByteArray& key, const QByteArray& iv = QByteArray());
    ~AesCbcDecryptor();
    AesCbcDecryptor(const AesCbcDecryptor&) = delete;
    AesCbcDecryptor& operator=(const AesCbcDecryptor&) = delete;

    // Decrypts size bytes at data in place. False, with nothing changed, when size is negative or
    // not a multiple of blockSize; throws std::runtime_error when the library fails.
    bool decryptInPlace(char* data, qint64 size);

private:
    struct FreeContext {
        void operator()(evp_cipher_ctx_st* context) const;
    };
    std::unique_ptr<evp_cipher_ctx_st, FreeContext> m_context;
};
