#include "core/fileutil.h"

#include "core/errors.h"
#include "platform/shell.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr int kMaxFileNameBytes = 200;
constexpr qint64 kCopyChunk = 64 * 1024;

// A dangling symbolic link does not "exist", yet writing to it would create its target.
bool isOccupied(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Characters Windows forbids in file names (kept so exports stay portable) and control characters.
bool isForbiddenInFileName(QChar c)
{
    static const QString forbidden = QStringLiteral("\\/:*?\"<>|");
    return forbidden.contains(c) || c.category() == QChar::Other_Control;
}

int utf8Length(uint codePoint)
{
    return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
}

// Drops forbidden characters and unpaired surrogates (which have no UTF-8 form).
QString withoutForbiddenCharacters(const QString& name)
{
    QString result;
    result.reserve(name.size());
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            result += c;
            result += name.at(++i);
        } else if (!c.isSurrogate() && !isForbiddenInFileName(c)) {
            result += c;
        }
    }
    return result;
}

// Cuts name after the last whole code point that fits in maxBytes of UTF-8. name holds no
// unpaired surrogates.
QString truncatedToUtf8Bytes(const QString& name, int maxBytes)
{
    int bytes = 0;
    int i = 0;
    while (i < name.size()) {
        const bool pair = name.at(i).isHighSurrogate();
        const uint codePoint = pair ? QChar::surrogateToUcs4(name.at(i), name.at(i + 1)) : name.at(i).unicode();
        bytes += utf8Length(codePoint);
        if (bytes > maxBytes)
            break;
        i += pair ? 2 : 1;
    }
    return name.left(i);
}

bool isEmptyOrOnlyDots(const QString& name)
{
    for (const QChar c : name) {
        if (c != QLatin1Char('.'))
            return false;
    }
    return true;
}

// Copies what is left of in (size bytes by its status) to out: in the kernel where the file systems
// allow it, so the bytes never pass through this process, else by reading and writing. 0 or the
// errno of the failure; readFailed tells that reading in failed.
int copyFileContent(int in, int out, qint64 size, bool& readFailed)
{
    readFailed = false;
    qint64 done = 0;
    // A size of 0 may hide content (files of /proc): only reading finds their end.
    while (done < size) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(size - done), 0);
        if (n <= 0)
            break;  // another file system, an old kernel, or an error that reading will name
        done += n;
    }
    if (size > 0 && done >= size)
        return 0;
    std::vector<char> buffer(kCopyChunk);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            readFailed = true;
            return errno;
        }
        if (n == 0)
            return 0;
        for (ssize_t written = 0; written < n;) {
            const ssize_t w = ::write(out, buffer.data() + written, size_t(n - written));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return w < 0 ? errno : EIO;
            written += w;
        }
    }
}

// A file made at path only once it is complete: written unnamed where the file system allows it
// (nothing is left behind by a crash), else under a temporary name beside path, and then linked in,
// which never replaces a file that is there. Removed again unless finished. Throws (UTF-8 text).
class NewFile {
public:
    explicit NewFile(const QString& path) : m_path(path), m_target(QFile::encodeName(path))
    {
        const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
        m_fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (m_fd >= 0)
            return;
        m_temporary = m_target + ".XXXXXX";
        m_fd = ::mkostemp(m_temporary.data(), O_CLOEXEC);
        if (m_fd < 0)
            fail(errno);
    }
    ~NewFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_temporary.isEmpty())
            ::unlink(m_temporary.constData());
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    int fd() const { return m_fd; }

    void finish(mode_t mode)
    {
        if (::fchmod(m_fd, mode) != 0)
            fail(errno);
        if (m_temporary.isEmpty()) {
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_target.constData(), AT_SYMLINK_FOLLOW) != 0)
                fail(errno);
        } else if (::link(m_temporary.constData(), m_target.constData()) != 0) {
            fail(errno);
        }
        ::close(std::exchange(m_fd, -1));  // in place now, whatever a late error would say
    }

private:
    [[noreturn]] void fail(int error) const
    {
        throwUtf8(QStringLiteral("Cannot write %1: %2").arg(m_path, systemErrorText(error)));
    }

    QString m_path;
    QByteArray m_target;
    QByteArray m_temporary;  // empty while the file is unnamed
    int m_fd = -1;
};

}  // namespace

QString uniqueFilePath(const QString& path)
{
    if (!isOccupied(path))
        return path;
    const QFileInfo info(path);
    QString base = info.completeBaseName();
    QString suffix = info.suffix();
    if (base.isEmpty()) {  // ".profile": the whole name is the base
        base = info.fileName();
        suffix.clear();
    }
    const QDir dir = info.dir();
    for (qint64 n = 1;; ++n) {
        QString candidate = dir.absoluteFilePath(base + QLatin1Char('(') + QString::number(n) + QLatin1Char(')'));
        if (!suffix.isEmpty())
            candidate += QLatin1Char('.') + suffix;
        if (!isOccupied(candidate))
            return candidate;
    }
}

bool copyToNewFile(const QString& source, const QString& destination)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (in < 0 || ::fstat(in, &status) != 0) {
        qWarning() << "copy: cannot read" << source << systemErrorText(errno);
        if (in >= 0)
            ::close(in);
        return false;
    }
    const auto closeIn = qScopeGuard([in] { ::close(in); });
    NewFile out(destination);
    bool readFailed = false;
    const int error = copyFileContent(in, out.fd(), status.st_size, readFailed);
    if (error != 0 && readFailed) {
        qWarning() << "copy: cannot read" << source << systemErrorText(error);
        return false;
    }
    if (error != 0)
        throwUtf8(QStringLiteral("Cannot write %1: %2").arg(destination, systemErrorText(error)));
    out.finish(status.st_mode & 0777);
    return true;
}

QString sanitizeFileName(const QString& name)
{
    QString result = withoutForbiddenCharacters(name).trimmed();
    result = truncatedToUtf8Bytes(result, kMaxFileNameBytes).trimmed();
    return isEmptyOrOnlyDots(result) ? QStringLiteral("_") : result;
}

QString md5Hex(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

bool removeDirRecursive(const QString& path, const std::function<bool()>& stopped)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return QFile::remove(path);
    if (!info.isDir())
        return !info.exists();
    // A walk of our own: links are unlinked, never followed, and nothing changes permissions of a
    // file that could be a link's target (as a retry with chmod would).
    bool removedAll = true;
    const QFileInfoList entries = QDir(path).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (stopped && stopped())
            return false;
        if (entry.isDir() && !entry.isSymLink())
            removedAll = removeDirRecursive(entry.absoluteFilePath(), stopped) && removedAll;
        else
            removedAll = QFile::remove(entry.absoluteFilePath()) && removedAll;
    }
    return QDir().rmdir(info.absoluteFilePath()) && removedAll;
}

bool makePrivatePath(const QString& path)
{
    if (QFileInfo(path).isDir())
        return true;
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    QStringList missing;
    for (QFileInfo info(absolute); !info.exists() && !info.isSymLink() && !info.isRoot();
         info.setFile(info.absolutePath()))
        missing.prepend(info.absoluteFilePath());
    for (const QString& folder : missing) {
        if (::mkdir(QFile::encodeName(folder).constData(), S_IRWXU) != 0 && errno != EEXIST)
            return false;
    }
    return QFileInfo(absolute).isDir();
}

bool makeFilePrivate(const QString& path)
{
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

QStringList subfolderNames(const QDir& folder)
{
    return folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

QString openRegularFile(QFile& file, const QString& path)
{
    // O_NONBLOCK keeps a pipe from waiting for a writer; it means nothing to the regular file kept.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? QStringLiteral("it is a symbolic link") : systemErrorText(errno);
    struct stat status {};
    QString reason;
    if (::fstat(fd, &status) != 0)
        reason = systemErrorText(errno);
    else if (!S_ISREG(status.st_mode))
        reason = QStringLiteral("it is not a regular file");
    else if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        reason = file.errorString();
    if (!reason.isEmpty())
        ::close(fd);
    return reason;
}

QString systemErrorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

bool openInExplorer(const QString& path)
{
    if (path.isEmpty()) {
        qWarning() << "openInExplorer: no path given";
        return false;
    }
    return shellHook().openLocalPath(QFileInfo(path).absoluteFilePath());
}

bool openUrl(const QString& target)
{
    const QUrl url(target, QUrl::StrictMode);
    const QString scheme = url.scheme();  // QUrl keeps schemes in lower case
    const bool isWebLink = url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
    if (!isWebLink) {
        qWarning() << "openUrl: refused to open" << target;
        return false;
    }
    return shellHook().openUrl(url);
}
