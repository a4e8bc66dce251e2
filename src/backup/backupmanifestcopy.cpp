// Unlocking an encrypted backup and copying single files out of a backup folder.
#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "core/errors.h"
#include "core/fileutil.h"

#include <QDebug>
#include <QFile>
#include <QTemporaryFile>

#include <openssl/crypto.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

namespace {

// Large chunks keep the per-call costs of reading, decrypting and writing far below the cost of
// the bytes themselves. A whole number of cipher blocks, so every chunk but the last decrypts.
constexpr qint64 kChunkBytes = 1 << 20;
constexpr int kKeyPrefixBytes = 4;  // the stored class number before the wrapped key; not trusted
constexpr int kStoredKeyBytes = kKeyPrefixBytes + BackupKeyBag::wrappedKeyBytes;
constexpr int kBlock = AesCbcDecryptor::blockSize;

[[noreturn]] void throwFileError(const MbdbRecord& record, const QString& reason)
{
    throw BackupFileError(QStringLiteral("%1: %2").arg(backupFileLabel(record), reason).toUtf8().toStdString());
}

[[noreturn]] void throwWriteError(const QString& what, const QString& path, int errorNumber)
{
    throwUtf8(QStringLiteral("Cannot %1 %2: %3").arg(what, path, systemErrorText(errorNumber)));
}

// Small files get a buffer of their own size, rounded up to whole blocks, rather than a whole chunk.
qint64 chunkCapacity(qint64 sourceSize)
{
    return qBound(qint64(kBlock), (sourceSize + kBlock - 1) / kBlock * kBlock, kChunkBytes);
}

// Fills buffer from source up to capacity; fewer bytes only at the end of the file.
qint64 readChunk(QFile& source, char* buffer, qint64 capacity, const MbdbRecord& record)
{
    qint64 filled = 0;
    while (filled < capacity) {
        const qint64 n = source.read(buffer + filled, capacity - filled);
        if (n < 0)
            throwFileError(record, source.errorString());
        if (n == 0)
            break;
        filled += n;
    }
    return filled;
}

// Written through the descriptor, so a failure gives the system's reason ("No space left on
// device"); QFile often reports only "Unknown error" once its buffer fails to flush.
void writeAll(int fd, const char* data, qint64 size, const QString& destPath)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throwWriteError(QStringLiteral("write"), destPath, n < 0 ? errno : EIO);
        data += n;
        size -= n;
    }
}

// The length of the PKCS#7 padding that ends a decrypted stream whose last block is lastBlock; 0
// when it ends in none.
int paddingLength(const unsigned char (&lastBlock)[kBlock])
{
    const int length = lastBlock[kBlock - 1];
    if (length < 1 || length > kBlock)
        return 0;
    for (int i = kBlock - length; i < kBlock; ++i)
        if (lastBlock[i] != length)
            return 0;
    return length;
}

// Puts the finished copy in the place of destPath, so nobody sees half a file and a failed copy
// keeps the old one. Unlike QSaveFile this does not force the data to disk, and the old file is
// removed before the rename rather than replaced by it: both make the file system write the new
// file out at once, which made copying a third slower. A copy lost in a crash is simply made again.
// A link at destPath is removed as a link, so the copy never lands in its target.
void moveIntoPlace(QTemporaryFile& copy, const QString& destPath)
{
    copy.close();
    if (copy.error() != QFileDevice::NoError)
        throwUtf8(QStringLiteral("Cannot write %1: %2").arg(destPath, copy.errorString()));
    const QByteArray target = QFile::encodeName(destPath);
    if (::unlink(target.constData()) != 0 && errno != ENOENT)
        throwWriteError(QStringLiteral("replace"), destPath, errno);
    if (::rename(QFile::encodeName(copy.fileName()).constData(), target.constData()) != 0)
        throwWriteError(QStringLiteral("create"), destPath, errno);
    copy.setAutoRemove(false);
}

// Set on the open copy, before its rename, so no link at the final path is ever followed.
void setFileTimes(int fd, quint32 time)
{
    const timespec times[2] = {{time_t(time), 0}, {time_t(time), 0}};
    // Like a failed copy of the time by any copy tool, a failure here is not worth losing the file.
    ::futimens(fd, times);
}

}  // namespace

QString backupFileLabel(const MbdbRecord& record)
{
    return QStringLiteral("%1-%2 (%3)").arg(record.domain.toString(), record.path.toString(), record.fileId());
}

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
    if (!manifest.keyBag.hasClassKeys())
        throwFileError(record, QStringLiteral("the backup is not unlocked."));
    const QByteArray& stored = record.encryptionKey.bytes;
    if (stored.size() != kStoredKeyBytes)
        throwFileError(record, QStringLiteral("the file key is %1 bytes long, not %2.").arg(stored.size()).arg(kStoredKeyBytes));
    const int protectionClass = record.protectionClass;
    if (!manifest.keyBag.classes.value(protectionClass).contains(QStringLiteral("KEY")))
        throwFileError(record, QStringLiteral("protection class %1 has no key.").arg(protectionClass));
    const QByteArray key = BackupKeyBag::unwrapFileKey(manifest.keyBag, protectionClass, stored.mid(kKeyPrefixBytes));
    if (key.isEmpty())
        throwFileError(record, QStringLiteral("the file key does not unwrap."));
    return key;
}

// Ends the decrypted copy at the record's size. The padding must lie past that size: a stream
// ending in none there is damaged. Content shorter than the size is cut back to its end (any
// padding bytes written go again); content longer than the size is cut to it. Both are logged.
void endDecryptedCopy(const MbdbRecord& record, qint64 decrypted, qint64 plainSize, qint64& written,
                      const unsigned char (&lastBlock)[kBlock], int fd, const QString& destPath)
{
    qint64 content = decrypted;
    if (decrypted > plainSize) {
        const int padding = paddingLength(lastBlock);
        if (padding == 0)
            throwFileError(record, QStringLiteral("the decrypted file ends in bad padding; the stored file is damaged."));
        content = decrypted - padding;
    }
    if (content < written) {
        if (::ftruncate(fd, content) != 0)
            throwWriteError(QStringLiteral("write"), destPath, errno);
        written = content;
    }
    const QString label = backupFileLabel(record);
    if (content < plainSize)
        qWarning().noquote() << QStringLiteral("%1: decrypted %2 bytes of %3; the copy is short.")
                                    .arg(label, QString::number(content), QString::number(plainSize));
    else if (content > plainSize)
        qWarning().noquote() << QStringLiteral("%1: decrypted %2 bytes, but the record gives %3; the copy is cut to %3.")
                                    .arg(label, QString::number(content), QString::number(plainSize));
}

}  // namespace

void BackupManifest::copyFile(const BackupFileNode& node, const QString& destPath, int progressArg,
                              const BackupCopyProgress& progress)
{
    const MbdbRecord& record = node.record;
    QFile source;
    const QString openError = openRegularFile(source, backupDir.absoluteFilePath(record.fileId()));
    if (!openError.isEmpty())
        throwFileError(record, QStringLiteral("cannot open the stored file: %1.").arg(openError));
    std::optional<AesCbcDecryptor> decryptor;
    {
        QByteArray key = fileKeyOf(*this, record);
        if (!key.isEmpty()) {
            decryptor.emplace(key);  // a zero chaining value: the file is one CBC stream
            OPENSSL_cleanse(key.data(), size_t(key.size()));
        }
    }
    // Written under a temporary name beside destPath, removed again when the copy fails.
    QTemporaryFile destination(destPath + QStringLiteral(".XXXXXX"));
    if (!destination.open())
        throwUtf8(QStringLiteral("Cannot create a file beside %1: %2").arg(destPath, destination.errorString()));
    const int fd = destination.handle();

    // Decrypted bytes past the record's size are the cipher's padding and never written.
    constexpr qint64 unlimited = std::numeric_limits<qint64>::max();
    const qint64 plainSize = !decryptor ? unlimited : qint64(qMin<quint64>(record.size, quint64(unlimited)));

    const qint64 total = source.size();
    QByteArray buffer(int(chunkCapacity(total)), Qt::Uninitialized);
    unsigned char lastBlock[kBlock] = {};
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
                throwFileError(record, QStringLiteral("the stored file is no whole number of cipher blocks, "
                                                      "so it cannot be decrypted (cut short?)."));
            std::memcpy(lastBlock, buffer.constData() + n - kBlock, kBlock);
            plain = qBound(qint64(0), plainSize - written, n);
        }
        writeAll(fd, buffer.constData(), plain, destPath);
        written += plain;
        if (progress)
            progress(total, done, progressArg);
    }
    if (decryptor)
        OPENSSL_cleanse(buffer.data(), size_t(buffer.size()));
    if (done < total)
        throwFileError(record, QStringLiteral("the stored file ended after %1 of %2 bytes.").arg(done).arg(total));
    if (decryptor) {
        endDecryptedCopy(record, done, plainSize, written, lastBlock, fd, destPath);
        OPENSSL_cleanse(lastBlock, sizeof lastBlock);
    }
    setFileTimes(fd, record.mtime);
    moveIntoPlace(destination, destPath);
}
