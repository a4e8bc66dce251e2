#include "core/safepath.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>

namespace {

QString withForwardSlashes(const QString& path)
{
    QString result = path;
    return result.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

bool hasDriveLetter(const QString& path)
{
    if (path.size() < 2 || path.at(1) != QLatin1Char(':'))
        return false;
    const char16_t letter = path.at(0).toLower().unicode();
    return letter >= u'a' && letter <= u'z';
}

bool isSafeComponent(const QString& component)
{
    return !component.isEmpty() && component != QLatin1String(".") && component != QLatin1String("..");
}

bool isInside(const QString& path, const QString& folder)
{
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path == folder || path.startsWith(prefix);
}

// The real location of path: the canonical form of its deepest ancestor that exists (path itself
// included), with the rest appended. Components past that ancestor do not exist, so hold no links.
// "" when an existing link along the way dangles.
QString realLocation(const QString& path)
{
    QString existing = path;
    QString rest;
    for (;;) {
        const QFileInfo info(existing);
        if (info.exists() || info.isSymLink()) {
            const QString canonical = info.canonicalFilePath();
            return canonical.isEmpty() ? QString() : canonical + rest;
        }
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            return path;
        rest.prepend(existing.mid(slash));
        existing.truncate(slash);
    }
}

std::optional<QString> rejected(const QString& folder, const QString& relative, const char* reason)
{
    qWarning().nospace() << "rejected path " << relative << " below " << folder << ": " << reason;
    return std::nullopt;
}

}  // namespace

bool isSafeRelativePath(const QString& relative)
{
    if (relative.isEmpty() || relative.contains(QChar(0)))
        return false;
    const QString path = withForwardSlashes(relative);
    if (path.startsWith(QLatin1Char('/')) || hasDriveLetter(path))
        return false;
    const QStringList components = path.split(QLatin1Char('/'));
    return std::all_of(components.cbegin(), components.cend(), isSafeComponent);
}

std::optional<QString> resolveContained(const QString& folder, const QString& relative)
{
    return ContainedFolder(folder).resolve(relative);
}

ContainedFolder::ContainedFolder(const QString& folder)
    : m_folder(folder),
      m_base(folder.isEmpty() ? QString() : QDir::cleanPath(QDir(folder).absolutePath())),
      m_realBase(m_base.isEmpty() ? QString() : realLocation(m_base))
{
}

std::optional<QString> ContainedFolder::resolve(const QString& relative) const
{
    if (m_folder.isEmpty())
        return rejected(m_folder, relative, "no folder given");
    if (!isSafeRelativePath(relative))
        return rejected(m_folder, relative, "not a plain relative path");
    const QString candidate = QDir::cleanPath(m_base + QLatin1Char('/') + withForwardSlashes(relative));
    const QString realCandidate = m_realBase.isEmpty() ? QString() : realLocationBelow(candidate);
    if (realCandidate.isEmpty())
        return rejected(m_folder, relative, "a symbolic link on the way leads nowhere");
    if (!isInside(realCandidate, m_realBase))
        return rejected(m_folder, relative, "leads outside the folder");
    return candidate;
}

QString ContainedFolder::realLocationBelow(const QString& path) const
{
    if (path == m_base)
        return m_realBase;
    {
        const QMutexLocker lock(&m_mutex);
        const auto known = m_realFolders.constFind(path);
        if (known != m_realFolders.constEnd())
            return *known;
    }
    struct stat status {};
    const bool exists = ::lstat(QFile::encodeName(path).constData(), &status) == 0;
    if (!exists && errno != ENOENT && errno != ENOTDIR)
        return realLocation(path);  // unreadable on the way: the full walk decides, as it always did
    if (exists && S_ISLNK(status.st_mode))
        return QFileInfo(path).canonicalFilePath();  // "" when it dangles
    // Neither a link nor (when missing) able to hold one: the parent's real location decides.
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString parentReal = realLocationBelow(slash == 0 ? QStringLiteral("/") : path.left(slash));
    if (parentReal.isEmpty())
        return QString();
    const QString real = parentReal.endsWith(QLatin1Char('/')) ? parentReal + path.midRef(slash + 1)
                                                               : parentReal + path.midRef(slash);
    if (exists && S_ISDIR(status.st_mode)) {
        const QMutexLocker lock(&m_mutex);
        m_realFolders.insert(path, real);
    }
    return real;
}
