// Unlocking an encrypted backup and copying single files out of a backup folder.
#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "core/errors.h"

#include <QDebug>
#include <QFile>
#include <QTemporaryFile>

#include <openssl/crypto.h>

#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

namespace {

// Large chunks keep the per-call costs of reading, decrypting and writing far below the cost of
// the bytes themselves. A whole number of cipher blocks, so every chunk but the last decrypts.
constexpr qint64 kChunkBytes = 1 << 20;
constexpr int kKeyPrefixBytes = 4;  // the stored class number before the wrapped key; not trusted
constexpr int kStoredKeyBytes = kKeyPrefixBytes + BackupKeyBag::wrappedKeyBytes;

QString fileLabel(const MbdbRecord& record)
{
    return QStringLiteral("%1 (%2-%3)").arg(record.fileId(), record.domain.toString(), record.path.toString());
}

// Small files get a buffer of their own size, rounded up to whole blocks, rather than a whole chunk.
qint64 chunkCapacity(qint64 sourceSize)
{
    const qint64 block = AesCbcDecryptor::blockSize;
    return qBound(block, (sourceSize + block - 1) / block * block, kChunkBytes);
}

// Fills buffer from source up to capacity; fewer bytes only at the end of the file.
qint64 readChunk(QFile& source, char* buffer, qint64 capacity, const MbdbRecord& record)
{
    qint64 filled = 0;
    while (filled < capacity) {
        const qint64 n = source.read(buffer + filled, capacity - filled);
        if (n < 0)
            throwUtf8(QStringLiteral("%1, %2").arg(fileLabel(record), source.errorString()));
        if (n == 0)
            break;
        filled += n;
    }
    return filled;
}

void writeAll(QFile& destination, const char* data, qint64 size)
{
    if (size > 0 && destination.write(data, size) != size)
        throwUtf8(destination.errorString());
}

// Puts the finished copy in the place of destPath, so nobody sees half a file and a failed copy
// keeps the old one. Unlike QSaveFile this does not force the data to disk, and the old file is
// removed before the rename rather than replaced by it: both make the file system write the new
// file out at once, which made copying a third slower. A copy lost in a crash is simply made again.
void moveIntoPlace(QTemporaryFile& copy, const QString& destPath)
{
    copy.close();
    if (copy.error() != QFileDevice::NoError)
        throwUtf8(copy.errorString());
    const QByteArray target = QFile::encodeName(destPath);
    if (::unlink(target.constData()) != 0 && errno != ENOENT)
        throwUtf8(QStringLiteral("%1: %2").arg(destPath, QString::fromLocal8Bit(strerror(errno))));
    if (::rename(QFile::encodeName(copy.fileName()).constData(), target.constData()) != 0)
        throwUtf8(QStringLiteral("%1: %2").arg(destPath, QString::fromLocal8Bit(strerror(errno))));
    copy.setAutoRemove(false);
}

void setFileTimes(const QString& path, quint32 time)
{
    utimbuf times{};
    times.actime = time_t(time);
    times.modtime = time_t(time);
    // Like a failed copy of the time by any copy tool, a failure here is not worth losing the file.
    ::utime(QFile::encodeName(path).constData(), &times);
}

}  // namespace

bool BackupManifest::unlock(const QString& password)
{
    keyBag = BackupKeyBag::parse(deviceInfo.keyBagData);
    QByteArray utf8 = password.toUtf8();
    const bool unlocked = BackupKeyBag::unlock(keyBag, utf8);
    if (!utf8.isEmpty())
        OPENSSL_cleanse(utf8.data(), size_t(utf8.size()));
    return unlocked;
}

namespace {

// The key that decrypts record's file; empty when the file is stored as it is. Throws, naming the
// file, when an encrypted backup holds a file that cannot be decrypted: copying its cipher text
// under a plain name would pass for a good copy.
QByteArray fileKeyOf(const BackupManifest& manifest, const MbdbRecord& record)
{
    if (!manifest.deviceInfo.isEncrypted || !record.encryptionKey.isPresent())
        return QByteArray();
    const QString label = fileLabel(record);
    if (!manifest.keyBag.hasClassKeys())
        throwUtf8(QStringLiteral("%1: the backup is not unlocked.").arg(label));
    const QByteArray& stored = record.encryptionKey.bytes;
    if (stored.size() != kStoredKeyBytes)
        throwUtf8(QStringLiteral("%1: the file key is %2 bytes long, not %3.")
                      .arg(label)
                      .arg(stored.size())
                      .arg(kStoredKeyBytes));
    const int protectionClass = record.protectionClass;
    if (!manifest.keyBag.classes.value(protectionClass).contains(QStringLiteral("KEY")))
        throwUtf8(QStringLiteral("%1: protection class %2 has no key.").arg(label).arg(protectionClass));
    const QByteArray key = BackupKeyBag::unwrapFileKey(manifest.keyBag, protectionClass, stored.mid(kKeyPrefixBytes));
    if (key.isEmpty())
        throwUtf8(QStringLiteral("%1: the file key does not unwrap.").arg(label));
    return key;
}

}  // namespace

void BackupManifest::copyFile(const BackupFileNode& node, const QString& destPath, int progressArg,
                              const BackupCopyProgress& progress)
{
    const MbdbRecord& record = node.record;
    QFile source(backupDir.absoluteFilePath(record.fileId()));
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throwUtf8(source.errorString());
    // Written under a temporary name beside destPath, removed again when the copy fails.
    QTemporaryFile destination(destPath + QStringLiteral(".XXXXXX"));
    if (!destination.open())
        throwUtf8(destination.errorString());

    std::optional<AesCbcDecryptor> decryptor;
    {
        QByteArray key = fileKeyOf(*this, record);
        if (!key.isEmpty()) {
            decryptor.emplace(key);  // a zero chaining value: the file is one CBC stream
            OPENSSL_cleanse(key.data(), size_t(key.size()));
        }
    }
    // Decrypted bytes past the record's size are the cipher's padding and never written.
    constexpr qint64 unlimited = std::numeric_limits<qint64>::max();
    const qint64 plainSize = !decryptor ? unlimited : qint64(qMin<quint64>(record.size, quint64(unlimited)));

    const qint64 total = source.size();
    QByteArray buffer(int(chunkCapacity(total)), Qt::Uninitialized);
    qint64 done = 0;
    qint64 written = 0;
    for (;;) {
        const qint64 n = readChunk(source, buffer.data(), buffer.size(), record);
        if (n == 0)
            break;
        done += n;
        qint64 plain = n;
        if (decryptor) {
            if (!decryptor->decryptInPlace(buffer.data(), n))
                throwUtf8(QStringLiteral("%1, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.").arg(record.fileId()));
            plain = qBound(qint64(0), plainSize - written, n);
        }
        writeAll(destination, buffer.constData(), plain);
        written += plain;
        if (progress)
            progress(total, done, progressArg);
    }
    if (decryptor)
        OPENSSL_cleanse(buffer.data(), size_t(buffer.size()));
    if (done < total)
        throwUtf8(QStringLiteral("%1: the stored file ended after %2 of %3 bytes.")
                      .arg(fileLabel(record))
                      .arg(done)
                      .arg(total));
    if (decryptor && written < plainSize)
        qWarning().noquote() << QStringLiteral("%1: decrypted %2 bytes of %3; the copy is short.")
                                    .arg(fileLabel(record))
                                    .arg(written)
                                    .arg(plainSize);
    moveIntoPlace(destination, destPath);
    setFileTimes(destPath, record.mtime);
}
