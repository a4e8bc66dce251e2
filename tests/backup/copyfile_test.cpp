#include "backup/backupmanifest.h"
#include "backup/cachecopies.h"

#include "core/fileutil.h"
#include "fixtures/backup_builder.h"
#include "fixtures/warning_log.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace {

using fixtures::BackupBuilder;
using fixtures::BackupEncryption;

const QString home = QStringLiteral("HomeDomain");

QByteArray sampleBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class CopyFileTest : public ::testing::Test {
protected:
    // Writes the builder's backup and opens it as a client does, unlocking it with password.
    BackupManifest& open(const BackupBuilder& builder, const QByteArray& password = "secret")
    {
        builder.write(m_backup.path());
        m_manifest = std::make_unique<BackupManifest>(QDir(m_backup.path()));
        m_manifest->loadManifestPlist();
        if (m_manifest->deviceInfo.isEncrypted)
            m_manifest->unlock(QString::fromUtf8(password));
        return *m_manifest;
    }

    // A node for the record of path, outside any tree.
    std::unique_ptr<BackupFileNode> node(const BackupBuilder& builder, const QString& path) const
    {
        for (const MbdbRecord& record : builder.records())
            if (record.path.toString() == path)
                return std::make_unique<BackupFileNode>(nullptr, record, path);
        throw std::logic_error("no such record");
    }

    QString out(const QString& name) const { return m_out.filePath(name); }

    // Copies path and returns the error text, or "" when the copy succeeded.
    QString copyError(const BackupBuilder& builder, const QString& path, const QString& dest)
    {
        try {
            m_manifest->copyFile(*node(builder, path), dest);
        } catch (const std::runtime_error& error) {
            return QString::fromUtf8(error.what());
        }
        return QString();
    }

    QTemporaryDir m_backup;
    QTemporaryDir m_out;
    std::unique_ptr<BackupManifest> m_manifest;
};

TEST_F(CopyFileTest, DecryptsEverySizeAcrossBlockAndChunkBoundaries)
{
    const QList<int> sizes = {0, 15, 16, 8191, 8192, 16384, 16400, (1 << 20) - 16, (1 << 20) + 5, 3 << 20};
    BackupBuilder builder;
    builder.setEncryption();
    for (int size : sizes)
        builder.addFile(home, QStringLiteral("f%1").arg(size), sampleBytes(size));
    BackupManifest& manifest = open(builder);

    for (int size : sizes) {
        const QString name = QStringLiteral("f%1").arg(size);
        QList<qint64> done;
        qint64 reportedTotal = -1;
        manifest.copyFile(*node(builder, name), out(name), 7, [&](qint64 total, qint64 read, int arg) {
            EXPECT_EQ(arg, 7);
            reportedTotal = total;
            done.append(read);
        });
        const qint64 stored = QFileInfo(m_backup.filePath(node(builder, name)->record.fileId())).size();
        EXPECT_EQ(stored, (size / 16 + 1) * 16) << size;
        EXPECT_EQ(readAll(out(name)), sampleBytes(size)) << size;
        ASSERT_FALSE(done.isEmpty()) << size;
        EXPECT_EQ(reportedTotal, stored);
        EXPECT_EQ(done.last(), stored);
        EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    }
}

TEST_F(CopyFileTest, SetsTheRecordTimeAndCopiesPlainBackupsAsStored)
{
    BackupBuilder builder;
    const quint32 mtime = 1300000000;
    builder.addFile(home, QStringLiteral("plain.txt"), "plain bytes", BackupBuilder::fileMode, mtime);
    BackupManifest& manifest = open(builder);
    manifest.copyFile(*node(builder, QStringLiteral("plain.txt")), out(QStringLiteral("plain.txt")));
    const QFileInfo info(out(QStringLiteral("plain.txt")));  // before reading moves the access time
    EXPECT_EQ(info.lastModified().toSecsSinceEpoch(), mtime);
    EXPECT_EQ(info.lastRead().toSecsSinceEpoch(), mtime);
    EXPECT_EQ(readAll(out(QStringLiteral("plain.txt"))), QByteArray("plain bytes"));
}

TEST_F(CopyFileTest, RecordWithoutEncryptionKeyIsCopiedAsStoredInAnEncryptedBackup)
{
    BackupBuilder builder;
    builder.setEncryption().addFile(home, QStringLiteral("clear"), "x");
    MbdbRecord record = node(builder, QStringLiteral("clear"))->record;
    record.encryptionKey = MbdbString();
    builder.addRecord(record, "stored as it is, not a multiple of 16");
    open(builder);
    EXPECT_EQ(copyError(builder, QStringLiteral("clear"), out(QStringLiteral("clear"))), QString());
    EXPECT_EQ(readAll(out(QStringLiteral("clear"))), QByteArray("stored as it is, not a multiple of 16"));
}

TEST_F(CopyFileTest, RetriedPasswordUnlocksAfterAWrongOne)
{
    BackupBuilder builder;
    builder.setEncryption().addFile(home, QStringLiteral("a"), "secret text");
    BackupManifest& manifest = open(builder, "wrong");
    EXPECT_FALSE(manifest.keyBag.hasClassKeys());
    EXPECT_FALSE(manifest.unlock(QStringLiteral("Secret")));
    ASSERT_TRUE(manifest.unlock(QStringLiteral("secret")));
    manifest.copyFile(*node(builder, QStringLiteral("a")), out(QStringLiteral("a")));
    EXPECT_EQ(readAll(out(QStringLiteral("a"))), QByteArray("secret text"));

    // A later wrong attempt starts afresh and leaves no keys behind.
    EXPECT_FALSE(manifest.unlock(QStringLiteral("wrong")));
    EXPECT_FALSE(manifest.keyBag.hasClassKeys());
}

TEST_F(CopyFileTest, NonAsciiPasswordIsTakenAsUtf8)
{
    BackupEncryption encryption;
    encryption.password = QStringLiteral("grüße").toUtf8();
    BackupBuilder builder;
    builder.setEncryption(encryption);
    open(builder, encryption.password);
    EXPECT_TRUE(m_manifest->keyBag.hasClassKeys());
}

TEST_F(CopyFileTest, FilesThatCannotBeDecryptedFailNamingTheFileAndKeepTheOldCopy)
{
    BackupEncryption encryption;
    encryption.classKeys.remove(3);
    BackupBuilder builder;
    builder.setEncryption(encryption).addFile(home, QStringLiteral("good"), "good");

    auto variant = [&](const QString& path, auto change, const QByteArray& stored = "0123456789abcdef") {
        MbdbRecord record = node(builder, QStringLiteral("good"))->record;
        record.path = MbdbString::fromUtf8(path);
        change(record);
        builder.addRecord(record, stored);
    };
    variant(QStringLiteral("short key"), [](MbdbRecord& r) { r.encryptionKey.setBytes(r.encryptionKey.bytes.left(40)); });
    variant(QStringLiteral("no class key"), [](MbdbRecord& r) { r.protectionClass = 3; });
    variant(QStringLiteral("unknown class"), [](MbdbRecord& r) { r.protectionClass = 9; });
    variant(QStringLiteral("bad check"), [](MbdbRecord& r) {
        QByteArray key = r.encryptionKey.bytes;
        key[20] = char(key[20] ^ 1);
        r.encryptionKey.setBytes(key);
    });
    variant(QStringLiteral("partial block"), [](MbdbRecord&) {}, "seventeen bytes..");
    // The stored class number is not trusted: the record's class picks the key.
    variant(QStringLiteral("other prefix"), [](MbdbRecord& r) {
        QByteArray key = r.encryptionKey.bytes;
        key[0] = 9;
        r.size = 2;
        r.encryptionKey.setBytes(key);
    }, fixtures::encryptFileContent(fixtures::sampleFileKey(node(builder, QStringLiteral("good"))->record.fileId()), "ok"));
    open(builder);

    const QString dest = out(QStringLiteral("dest"));
    auto writeOld = [&] {
        QFile file(dest);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("old copy");
    };
    const QStringList failing = {"short key", "no class key", "unknown class", "bad check"};
    for (const QString& path : failing) {
        writeOld();
        const QString error = copyError(builder, path, dest);
        EXPECT_TRUE(error.contains(node(builder, path)->record.fileId())) << error.toStdString();
        EXPECT_TRUE(error.contains(path)) << error.toStdString();
        EXPECT_EQ(readAll(dest), QByteArray("old copy")) << path.toStdString();
    }
    writeOld();
    const QString partialId = node(builder, QStringLiteral("partial block"))->record.fileId();
    EXPECT_TRUE(copyError(builder, QStringLiteral("partial block"), dest)
                    .startsWith(QStringLiteral("HomeDomain-partial block (%1): ").arg(partialId)));
    EXPECT_EQ(readAll(dest), QByteArray("old copy"));

    EXPECT_EQ(QDir(m_out.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"dest"}));  // no leftovers

    EXPECT_EQ(copyError(builder, QStringLiteral("other prefix"), dest), QString());
    EXPECT_EQ(readAll(dest), QByteArray("ok"));
}

TEST_F(CopyFileTest, LockedBackupCopiesNothing)
{
    BackupBuilder builder;
    builder.setEncryption().addFile(home, QStringLiteral("a"), "secret text");
    open(builder, "wrong");
    const QString error = copyError(builder, QStringLiteral("a"), out(QStringLiteral("a")));
    EXPECT_TRUE(error.contains(QStringLiteral("not unlocked"))) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out(QStringLiteral("a"))));
}

TEST_F(CopyFileTest, MissingSourceAndUnwritableDestinationThrow)
{
    BackupBuilder builder;
    builder.addFile(home, QStringLiteral("a"), "a");
    open(builder);
    ASSERT_TRUE(QFile::remove(m_backup.filePath(node(builder, QStringLiteral("a"))->record.fileId())));
    EXPECT_NE(copyError(builder, QStringLiteral("a"), out(QStringLiteral("a"))), QString());

    builder.addFile(home, QStringLiteral("b"), "b");
    open(builder);
    EXPECT_NE(copyError(builder, QStringLiteral("b"), out(QStringLiteral("no/such/folder/b"))), QString());
}

// Either way the copy ends where the content and the record's size agree, and the log names the file.
TEST_F(CopyFileTest, ContentShorterOrLongerThanTheRecordIsCopiedToTheShorterWithAWarning)
{
    BackupBuilder builder;
    builder.setEncryption().addFile(home, QStringLiteral("cut"), sampleBytes(100));
    MbdbRecord record = node(builder, QStringLiteral("cut"))->record;
    const QByteArray stored = fixtures::encryptFileContent(fixtures::sampleFileKey(record.fileId()), sampleBytes(100));
    for (const auto& [storedBytes, declared, copied] : {std::tuple(64, 100, 64), std::tuple(112, 40, 40)}) {
        record.size = quint64(declared);
        builder.addRecord(record, stored.left(storedBytes));
        open(builder);
        const fixtures::WarningLog log;
        EXPECT_EQ(copyError(builder, QStringLiteral("cut"), out(QStringLiteral("cut"))), QString());
        EXPECT_EQ(readAll(out(QStringLiteral("cut"))), sampleBytes(copied));
        ASSERT_EQ(log.texts.size(), 1);
        EXPECT_TRUE(log.texts.first().startsWith(QStringLiteral("HomeDomain-cut (%1): ").arg(record.fileId())));
    }
}

// Past the file size limit writes fail with EFBIG, as they do with ENOSPC on a full disk.
TEST_F(CopyFileTest, AWriteErrorGivesTheSystemsReason)
{
    BackupBuilder builder;
    open(builder.addFile(home, QStringLiteral("big"), sampleBytes(5000)));
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const rlimit lower{1000, old.rlim_max};
    const auto handler = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &lower);
    const QString error = copyError(builder, QStringLiteral("big"), out(QStringLiteral("big")));
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, handler);
    EXPECT_TRUE(error.endsWith(QStringLiteral(": ") + systemErrorText(EFBIG))) << qPrintable(error);
}

TEST_F(CopyFileTest, SmsDatabaseOfAnEncryptedBackupReadsBackThroughTheTree)
{
    BackupBuilder builder;
    const QByteArray database = sampleBytes(40000);
    builder.setEncryption().addFile(home, QStringLiteral("Library/SMS/sms.db"), database);
    BackupManifest& manifest = open(builder);
    manifest.loadMbdb();
    ASSERT_NE(manifest.smsDb, nullptr);
    manifest.copyFile(*manifest.smsDb, out(QStringLiteral("sms.db")));
    EXPECT_EQ(readAll(out(QStringLiteral("sms.db"))), database);
}

}  // namespace

// Copies into a folder still being made wait for it; those into a folder that could not be made are
// left out with it, neither copied nor failed, and only the folder's own outcome carries the failure.
TEST_F(CopyFileTest, CopiesIntoAQueuedFolderWaitForItOrAreLeftOutWithIt)
{
    BackupBuilder builder;
    builder.addFile(home, QStringLiteral("a"), sampleBytes(5000));
    BackupManifest& manifest = open(builder);
    const auto file = node(builder, QStringLiteral("a"));
    const QString made = out(QStringLiteral("made"));
    const QString refused = out(QStringLiteral("refused"));
    std::atomic<bool> madeBelowRefused{false};
    CacheCopies copies(manifest, 4);
    copies.queueFolder(*file, made, [made] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QDir().mkdir(made);
    });
    copies.queue(*file, made + QStringLiteral("/a"));
    copies.queueFolder(*file, refused, [] { throw BackupFileError("refused"); });
    copies.queueFolder(*file, refused + QStringLiteral("/inner"), [&] { madeBelowRefused = true; });
    copies.queue(*file, refused + QStringLiteral("/inner/a"));
    for (const auto& [copied, failed] : {std::pair(false, false), std::pair(true, false), std::pair(false, true),
                                         std::pair(false, false), std::pair(false, false)}) {
        const std::optional<CacheCopies::Outcome> outcome = copies.takeOldest(true);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->copied, copied);
        EXPECT_EQ(bool(outcome->failure), failed);
    }
    EXPECT_EQ(readAll(made + QStringLiteral("/a")), sampleBytes(5000));
    EXPECT_FALSE(madeBelowRefused);
    EXPECT_FALSE(QFileInfo::exists(refused));
}
