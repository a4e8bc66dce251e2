#include "backup/backupcrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <stdexcept>

namespace {

constexpr int kKeyBytes = 32;
constexpr int kSemiblock = 8;

const unsigned char* bytesOf(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

unsigned char* bytesOf(char* data)
{
    return reinterpret_cast<unsigned char*>(data);
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext newContext()
{
    return CipherContext(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
}

// One RFC 3394 pass over input: wrap when encrypt is 1, unwrap when 0. The default initial value
// A6A6A6A6A6A6A6A6 is the one checked on unwrap.
QByteArray keyWrapPass(const QByteArray& kek, const QByteArray& input, int outputSize, int encrypt)
{
    const CipherContext context = newContext();
    if (!context)
        return QByteArray();
    EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_CipherInit_ex(context.get(), EVP_aes_256_wrap(), nullptr, bytesOf(kek), nullptr, encrypt) != 1)
        return QByteArray();
    QByteArray output(outputSize, Qt::Uninitialized);
    int written = 0;
    if (EVP_CipherUpdate(context.get(), bytesOf(output.data()), &written, bytesOf(input), input.size()) != 1
        || written != outputSize) {
        OPENSSL_cleanse(output.data(), size_t(output.size()));
        return QByteArray();
    }
    return output;
}

}  // namespace

QByteArray pbkdf2HmacSha1(const QByteArray& password, const QByteArray& salt, int iterations, int length)
{
    if (iterations < 1 || length < 1)
        return QByteArray();
    QByteArray key(length, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.constData(), password.size(), bytesOf(salt), salt.size(), iterations,
                          EVP_sha1(), length, bytesOf(key.data()))
        != 1)
        return QByteArray();
    return key;
}

QByteArray aesKeyUnwrap(const QByteArray& kek, const QByteArray& wrapped)
{
    if (kek.size() != kKeyBytes || wrapped.size() < 3 * kSemiblock || wrapped.size() % kSemiblock != 0)
        return QByteArray();
    return keyWrapPass(kek, wrapped, wrapped.size() - kSemiblock, 0);
}

QByteArray aesKeyWrap(const QByteArray& kek, const QByteArray& key)
{
    if (kek.size() != kKeyBytes || key.size() < 2 * kSemiblock || key.size() % kSemiblock != 0
        || key.size() > INT_MAX - kSemiblock)
        return QByteArray();
    return keyWrapPass(kek, key, key.size() + kSemiblock, 1);
}

void AesCbcDecryptor::FreeContext::operator()(evp_cipher_ctx_st* context) const
{
    EVP_CIPHER_CTX_free(context);
}

AesCbcDecryptor::AesCbcDecryptor(const QByteArray& key, const QByteArray& iv)
{
    if (key.size() != kKeyBytes || (!iv.isNull() && iv.size() != blockSize))
        throw std::invalid_argument("AES-256-CBC needs a 32-byte key and a 16-byte chaining value");
    const QByteArray chain = iv.isNull() ? QByteArray(blockSize, '\0') : iv;
    m_context.reset(EVP_CIPHER_CTX_new());
    if (!m_context
        || EVP_DecryptInit_ex(m_context.get(), EVP_aes_256_cbc(), nullptr, bytesOf(key), bytesOf(chain)) != 1)
        throw std::runtime_error("cannot set up AES-256-CBC decryption");
    // The stored stream ends in PKCS#7 padding, but the record's size, not the padding, says where
    // the plain text ends; with padding on, every update would also hold back its last block.
    EVP_CIPHER_CTX_set_padding(m_context.get(), 0);
}

AesCbcDecryptor::~AesCbcDecryptor() = default;

bool AesCbcDecryptor::decryptInPlace(char* data, qint64 size)
{
    if (size < 0 || size % blockSize != 0)
        return false;
    // EVP takes an int count; feed huge buffers in pieces that stay whole blocks.
    constexpr qint64 maxPiece = (INT_MAX / blockSize) * blockSize;
    for (qint64 done = 0; done < size;) {
        const int piece = int(qMin(size - done, maxPiece));
        int written = 0;
        unsigned char* at = bytesOf(data + done);
        if (EVP_DecryptUpdate(m_context.get(), at, &written, at, piece) != 1 || written != piece)
            throw std::runtime_error("AES-256-CBC decryption failed");
        done += piece;
    }
    return true;
}
