#include "device/filerelay.h"

#include "core/errors.h"
#include "core/fileutil.h"
#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "core/safepath.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"
#include "msgdb/attachmentpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {

constexpr int kSendTimeoutMs = 60000;
// The device gathers its databases before it answers.
constexpr int kAcknowledgeTimeoutMs = 3600000;
constexpr int kCancelled = -1;

const QString kRetiredSuffix = QStringLiteral(".old");

struct ArchiveFree {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveFree>;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The entry's name as the device's tree uses it: without a leading "./", each component as the
// readers name it (mirroredPath). "" for the archive's root.
QString cleanEntryName(const QString& name)
{
    static const QRegularExpression leadingDot(QStringLiteral("^\\./"));
    QString clean = name;
    clean.remove(leadingDot);
    while (clean.endsWith(QLatin1Char('/')))
        clean.chop(1);  // folders may be named with a trailing slash
    // Named as the readers look for them: without the characters they drop, long names shortened.
    return clean == QLatin1String(".") ? QString() : mirroredPath(clean);
}

bool writeAll(int fd, const char* bytes, qint64 length)
{
    while (length > 0) {
        const ssize_t count = ::write(fd, bytes, size_t(length));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes += count;
        length -= count;
    }
    return true;
}

// Where entry goes below root: only folders and regular files, by names that stay inside.
std::optional<QString> entryTarget(archive_entry* entry, const ContainedFolder& root)
{
    const char* rawName = archive_entry_pathname(entry);
    const QString name = rawName ? cleanEntryName(QString::fromUtf8(rawName)) : QString();
    if (name.isEmpty())
        return std::nullopt;  // the root itself, or no name at all
    const mode_t type = archive_entry_filetype(entry);
    if (type != AE_IFDIR && type != AE_IFREG) {
        qWarning("skipped archive entry %s: neither a folder nor a regular file", qUtf8Printable(name));
        return std::nullopt;
    }
    // A folder where the iOS 5 reader writes an MMS part of the database would leave the part no place.
    const MmsPartPlace part = mmsPartPlaceOf(name);
    if (part == MmsPartPlace::Below || (part == MmsPartPlace::At && type == AE_IFDIR)) {
        qWarning("skipped archive entry %s: it would make a folder where an MMS part goes", qUtf8Printable(name));
        return std::nullopt;
    }
    return root.resolve(name);  // logs why it refuses
}

void throwIfCancelled(const ProgressSink* sink)
{
    if (ProgressSink::isCancelled(sink))
        throw kCancelled;
}

// An archive cut short (the phone unplugged, the stream ended early) must not pass for a whole one.
[[noreturn]] void throwArchiveError(archive* reader, const QString& what)
{
    const char* reason = archive_error_string(reader);
    throwUtf8(QStringLiteral("read %1 error. %2").arg(what, QString::fromUtf8(reason ? reason : "truncated archive")));
}

void unpackFile(archive* reader, archive_entry* entry, const QString& target, ProgressSink* sink, QByteArray& buffer)
{
    // Nothing in the fresh tree is a link, and none may become one under our feet.
    const FileDescriptor file(
        ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0)
        throwUtf8(QStringLiteral("create %1 error. %2").arg(target, systemErrorText(errno)));
    const qint64 size = archive_entry_size(entry);
    qint64 written = 0;
    for (;;) {
        throwIfCancelled(sink);
        ProgressSink::postUpdateProgress(sink, QString(), -1,
                                         QStringLiteral("Extracted: %1KB / %2KB")
                                             .arg(FileRelay::kilobytes(written), FileRelay::kilobytes(size)));
        const la_ssize_t count = archive_read_data(reader, buffer.data(), size_t(buffer.size()));
        if (count < 0)
            throwArchiveError(reader, target);
        if (count == 0)
            break;
        if (!writeAll(file.get(), buffer.constData(), count))
            throwUtf8(QStringLiteral("write %1 error. %2").arg(target, systemErrorText(errno)));
        written += count;
    }
    const timespec times[2] = {{archive_entry_atime(entry), 0}, {archive_entry_mtime(entry), 0}};
    ::futimens(file.get(), times);
}

}  // namespace

namespace FileRelay {

QString kilobytes(qint64 bytes)
{
    return QLocale().toString(bytes / 1024);
}

void swapInFolder(const QString& target, const QString& fresh)
{
    const QString retired = target + kRetiredSuffix;
    removeDirRecursive(retired);
    const QByteArray targetName = QFile::encodeName(target);
    const QByteArray retiredName = QFile::encodeName(retired);
    const QFileInfo current(target);
    const bool hadTarget = current.exists() || current.isSymLink();
    if (hadTarget && ::rename(targetName.constData(), retiredName.constData()) != 0)
        throwUtf8(QStringLiteral("create %1 error. %2").arg(target, systemErrorText(errno)));
    if (::rename(QFile::encodeName(fresh).constData(), targetName.constData()) != 0) {
        const int error = errno;
        if (hadTarget)
            ::rename(retiredName.constData(), targetName.constData());
        throwUtf8(QStringLiteral("create %1 error. %2").arg(target, systemErrorText(error)));
    }
    removeDirRecursive(retired);
}

int startService(void* device)
{
    return MobileDevice::startService(device, QStringLiteral("com.apple.mobile.file_relay"));
}

void requestSources(int socket, const QStringList& sources)
{
    CFType names = CFType::array();
    for (const QString& source : sources)
        names.append(CFType(source));
    CFType request = CFType::dictionary();
    request.setValue(CFType(QStringLiteral("Sources")), names);
    mobiledevice_sendmsg(socket, request, false, kSendTimeoutMs);
    const CFType reply = mobiledevice_recmsg(socket, request, kAcknowledgeTimeoutMs);
    const QString status = reply.value(QStringLiteral("Status")).toString();
    if (status.compare(QLatin1String("Acknowledged"), Qt::CaseInsensitive) != 0)
        throwUtf8(QStringLiteral("invalid feedback.\n")
                  + QString::fromUtf8(reply.toPlistData(kCFPropertyListXMLFormat_v1_0)));
}

}  // namespace FileRelay

void unpackFileRelayArchive(const QString& archivePath, const QString& folder, ProgressSink* sink)
{
    QByteArray buffer(FileRelay::kBlockBytes, Qt::Uninitialized);
    removeDirRecursive(folder);  // left by a run that was stopped
    if (!makePrivatePath(folder))
        throwUtf8(QStringLiteral("create %1 error. %2").arg(folder, systemErrorText(errno)));
    const ArchiveReader reader(archive_read_new());
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    const int opened = archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(),
                                                 FileRelay::kBlockBytes);
    if (opened != ARCHIVE_OK)
        throwUtf8(QStringLiteral("open %1(%2) error.").arg(archivePath, QString::number(opened)));
    const ContainedFolder root(folder);
    ThrottledSink posts(sink);
    archive_entry* entry = nullptr;
    int status = ARCHIVE_OK;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK || status == ARCHIVE_WARN) {
        throwIfCancelled(sink);
        const std::optional<QString> target = entryTarget(entry, root);
        if (!target)
            continue;
        posts.postUpdateProgress(QStringLiteral("Extracting %1").arg(QFileInfo(*target).fileName()), -1, QString());
        if (archive_entry_filetype(entry) == AE_IFREG)
            unpackFile(reader.get(), entry, *target, &posts, buffer);
        else if (!QFileInfo::exists(*target))
            makePrivatePath(*target);
    }
    if (status != ARCHIVE_EOF)
        throwArchiveError(reader.get(), archivePath);
    posts.flush();
}
