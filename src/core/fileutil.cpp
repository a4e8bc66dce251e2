#include "core/fileutil.h"

#include "core/errors.h"
#include "platform/shell.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        qWarning() << "copy: cannot read" << source << in.errorString();
        return false;
    }
    QTemporaryFile out(destination + QStringLiteral(".XXXXXX"));
    const auto fail = [&destination](const QString& why) {
        throwUtf8(QStringLiteral("Cannot write %1: %2").arg(destination, why));
    };
    if (!out.open())
        fail(out.errorString());
    std::vector<char> buffer(kCopyChunk);
    qint64 n = 0;
    while ((n = in.read(buffer.data(), kCopyChunk)) > 0) {
        if (out.write(buffer.data(), n) != n)
            fail(out.errorString());
    }
    if (n < 0) {
        qWarning() << "copy: cannot read" << source << in.errorString();
        return false;
    }
    if (!out.flush() || !out.setPermissions(in.permissions()) || !out.rename(destination))
        fail(out.errorString());
    out.setAutoRemove(false);
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

bool removeDirRecursive(const QString& path)
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
        if (entry.isDir() && !entry.isSymLink())
            removedAll = removeDirRecursive(entry.absoluteFilePath()) && removedAll;
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
