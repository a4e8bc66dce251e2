// Copying an encrypted file out of a backup against the raw floor for the same work: plain reads,
// EVP AES-256-CBC decryption and writes in 1 MiB chunks, timed in the same run.
#include "backup/backupmanifest.h"

#include "fixtures/backup_builder.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Bytes of the copied file; BENCH_BYTES overrides the default of 256 MB.
qint64 fileBytes()
{
    const qint64 n = qEnvironmentVariable("BENCH_BYTES").toLongLong();
    return n > 0 ? n : qint64(256) << 20;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

QByteArray sampleBytes(qint64 size)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[int(i)] = char((i * 31 + (i >> 12)) & 0xFF);
    return bytes;
}

// The floor: read, decrypt and write with plain system calls and EVP, cut at the plain size. The
// copy is put in place the way copyFile does it (a new file, the old one removed, then a rename),
// since how a file is replaced costs the file system more than any difference in the copying.
void rawCopy(const QString& sourcePath, const QString& destPath, const QByteArray& key, qint64 plainSize)
{
    constexpr int chunk = 1 << 20;
    const QByteArray target = QFile::encodeName(destPath);
    const QByteArray temporary = target + ".part";
    const int in = ::open(QFile::encodeName(sourcePath).constData(), O_RDONLY);
    const int out = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const unsigned char iv[16] = {};
    if (in < 0 || out < 0
        || EVP_DecryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr,
                              reinterpret_cast<const unsigned char*>(key.constData()), iv) != 1)
        throw std::runtime_error("raw copy cannot start");
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    std::vector<unsigned char> buffer(chunk);
    qint64 written = 0;
    for (ssize_t n; (n = ::read(in, buffer.data(), chunk)) > 0;) {
        int plain = 0;
        EVP_DecryptUpdate(context.get(), buffer.data(), &plain, buffer.data(), int(n));
        const qint64 keep = qMin<qint64>(plain, plainSize - written);
        if (keep > 0 && ::write(out, buffer.data(), size_t(keep)) != keep)
            throw std::runtime_error("raw copy cannot write");
        written += qMax<qint64>(keep, 0);
    }
    ::close(in);
    ::close(out);
    ::unlink(target.constData());
    if (::rename(temporary.constData(), target.constData()) != 0)
        throw std::runtime_error("raw copy cannot rename");
}

void BM_CopyEncryptedFile(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString backupDir = dir.filePath(QStringLiteral("backup"));
    const QString path = QStringLiteral("Library/SMS/sms.db");
    const qint64 size = fileBytes();
    {
        fixtures::BackupBuilder builder;
        builder.setEncryption().addFile(QStringLiteral("HomeDomain"), path, sampleBytes(size));
        builder.write(backupDir);
    }
    BackupManifest manifest{QDir(backupDir)};
    manifest.loadManifestPlist();
    if (!manifest.unlock(QStringLiteral("secret"))) {
        state.SkipWithError("the sample backup does not unlock");
        return;
    }
    manifest.loadMbdb();
    const BackupFileNode& node = *manifest.smsDb;
    const QString source = manifest.backupDir.absoluteFilePath(node.record.fileId());
    const QByteArray key = fixtures::sampleFileKey(node.record.fileId());
    const QString rawDest = dir.filePath(QStringLiteral("raw.out"));
    const QString ourDest = dir.filePath(QStringLiteral("ours.out"));

    double ours = 0;
    double raw = 0;
    qint64 bytes = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        rawCopy(source, rawDest, key, size);
        raw += seconds(Clock::now() - start);

        start = Clock::now();
        manifest.copyFile(node, ourDest);
        const double elapsed = seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        bytes += size;
    }
    if (QFileInfo(ourDest).size() != size || QFileInfo(rawDest).size() != size)
        state.SkipWithError("a copy has the wrong size");
    state.counters["ours_per_s"] = benchmark::Counter(double(bytes) / ours);
    state.counters["raw_per_s"] = benchmark::Counter(double(bytes) / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

}  // namespace

BENCHMARK(BM_CopyEncryptedFile)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
