// Unpacking a file-relay archive against the raw floor for the same work: libarchive's reader and
// plain writes, with no name checks, no containment and no progress, timed in the same run. And the
// verdict on a backup tool's output, as long as a long backup's progress makes it, against a plain
// case-insensitive byte search.
#include "floors.h"
#include "core/fileutil.h"
#include "device/backup2tool.h"
#include "device/filerelay.h"

#include "fixtures/device_archive.h"
#include "fixtures/message_history.h"

#include <QFile>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <strings.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSmallFiles = 2000;  // beside the database: what the per-entry work costs

// A device's databases as the file relay sends them: a generated message database and many small files.
QByteArray deviceArchive(const QString& scratch)
{
    QList<fixtures::ArchiveEntry> entries =
        fixtures::deviceDbEntries(floors::generatedDatabase(scratch + QStringLiteral("/sms.db")));
    entries.append({QStringLiteral("./var/mobile/Library/Notes"), S_IFDIR, {}});
    for (int i = 0; i < kSmallFiles; ++i)
        entries.append({QStringLiteral("./var/mobile/Library/Notes/note%1.txt").arg(i), S_IFREG, QByteArray(700, 'n')});
    return fixtures::makeArchive(entries);
}

void rawUnpack(const QString& archivePath, const QString& folder)
{
    const std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(), &archive_read_free);
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(), 0x80000) != ARCHIVE_OK)
        throw std::runtime_error("raw unpack cannot open the archive");
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    archive_entry* entry = nullptr;
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        const QByteArray path = QFile::encodeName(folder) + '/' + archive_entry_pathname(entry);
        if (archive_entry_filetype(entry) == AE_IFDIR) {
            ::mkdir(path.constData(), 0700);
        } else if (archive_entry_filetype(entry) == AE_IFREG) {
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || archive_read_data_into_fd(reader.get(), fd) != ARCHIVE_OK)
                throw std::runtime_error("raw unpack cannot write");
            ::close(fd);
        }
    }
}

void BM_UnpackFileRelayArchive(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString archivePath = dir.filePath(QStringLiteral("file-relay.cpio"));
    QFile archiveFile(archivePath);
    const QByteArray bytes = deviceArchive(dir.path());
    if (!archiveFile.open(QIODevice::WriteOnly) || archiveFile.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write the archive");
    archiveFile.close();
    const QString rawFolder = dir.filePath(QStringLiteral("raw"));
    const QString ourFolder = dir.filePath(QStringLiteral("ours"));

    double ours = 0;
    double raw = 0;
    double archives = 0;
    for (auto _ : state) {
        removeDirRecursive(rawFolder);
        auto start = Clock::now();
        rawUnpack(archivePath, rawFolder);
        raw += floors::seconds(Clock::now() - start);

        start = Clock::now();
        unpackFileRelayArchive(archivePath, ourFolder, nullptr);
        const double elapsed = floors::seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        archives += 1;
    }
    const QString db = QStringLiteral("/var/mobile/Library/SMS/sms.db");
    if (QFileInfo(ourFolder + db).size() != QFileInfo(rawFolder + db).size() || QFileInfo(ourFolder + db).size() == 0)
        state.SkipWithError("the unpacked databases differ");
    state.counters["ours_per_s"] = benchmark::Counter(archives / ours);
    state.counters["raw_per_s"] = benchmark::Counter(archives / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
    state.counters["archive_mb"] = benchmark::Counter(double(bytes.size()) / (1 << 20));
}

// Whether output up to its first NUL holds "error" in any letter case: the least a verdict does.
bool rawSaysError(const QByteArray& output)
{
    const char* text = output.constData();
    const size_t length = strnlen(text, size_t(output.size()));
    for (size_t i = 0; i + 5 <= length; ++i) {
        if ((text[i] | 0x20) == 'e' && strncasecmp(text + i, "error", 5) == 0)
            return true;
    }
    return false;
}

void BM_BackupToolVerdict(benchmark::State& state)
{
    constexpr int kOutputMB = 16;  // the progress lines of a backup of a few hours
    QByteArray output;
    for (int i = 0; output.size() < (kOutputMB << 20); ++i)
        output += "[=========           ] " + QByteArray::number(i % 100) + "% (" + QByteArray::number(i) + " MB of 30 GB)\r";
    output += "\nReceived 31415 files from device.\nBackup Successful.\n";
    double ours = 0;
    double raw = 0;
    double verdicts = 0;
    bool agree = true;
    for (auto _ : state) {
        auto start = Clock::now();
        const bool rawFailed = rawSaysError(output);
        raw += floors::seconds(Clock::now() - start);

        start = Clock::now();
        const bool failed = !backupToolFailure(QByteArray(), output, false, 0).isEmpty();
        const double elapsed = floors::seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        verdicts += 1;
        agree = agree && failed == rawFailed && !failed;
    }
    if (!agree)
        state.SkipWithError("the verdicts differ");
    state.counters["ours_per_s"] = benchmark::Counter(verdicts / ours);
    state.counters["raw_per_s"] = benchmark::Counter(verdicts / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
    state.counters["output_mb"] = benchmark::Counter(kOutputMB);
}

}  // namespace

BENCHMARK(BM_UnpackFileRelayArchive)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackupToolVerdict)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    return floors::runInTemporaryHome(argc, argv);
}
