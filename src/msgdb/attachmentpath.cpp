#include "msgdb/attachmentpath.h"

#include "core/filehandoff.h"
#include "core/fileutil.h"
#include "core/safepath.h"

#include <QFileInfo>
#include <QStringList>

namespace {

// The folders of the device tree that hold message attachments, spelled as the device spells them.
const QLatin1String kAttachmentAreas[] = {QLatin1String("var/mobile/Library/SMS/Attachments/"),
                                          QLatin1String("var/mobile/Library/SMS/Parts/")};

// The length of the attachment folder relative starts with, its trailing "/" included; 0 for none.
int attachmentAreaLength(const QString& relative)
{
    for (const QLatin1String area : kAttachmentAreas) {
        if (relative.startsWith(area, Qt::CaseInsensitive))
            return area.size();
    }
    return 0;
}

}  // namespace

MmsPartPlace mmsPartPlaceOf(const QString& relative)
{
    const QLatin1String parts = kAttachmentAreas[1];
    if (!relative.startsWith(parts))
        return MmsPartPlace::Outside;
    const int slashes = relative.midRef(parts.size()).count(QLatin1Char('/'));
    return slashes < 2 ? MmsPartPlace::Outside : slashes == 2 ? MmsPartPlace::At : MmsPartPlace::Below;
}

namespace {

// True when no folder on the way from root down to relative is a symbolic link.
bool reachedWithoutLinks(const QDir& root, const QString& relative)
{
    QString path;
    for (const QString& component : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += component;
        if (QFileInfo(root.absoluteFilePath(path)).isSymLink())
            return false;
        path += QLatin1Char('/');
    }
    return true;
}

constexpr int kMaxNameBytes = 200;
constexpr int kMaxKeptSuffix = 16;  // characters of a suffix kept on a shortened name, its dot included

// Characters a Windows file name cannot hold, and control characters: copies are stored without them.
bool isDroppedFromNames(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f || QStringView(u":*?\"<>|").contains(c);
}

// UTF-8 bytes of one UTF-16 unit; a surrogate pair's four bytes come as two times two.
int utf8Bytes(QChar c)
{
    const ushort u = c.unicode();
    return u < 0x80 ? 1 : u < 0x800 || c.isSurrogate() ? 2 : 3;
}

// True when some component of path is no name deviceFileName keeps as it stands.
bool needsRenaming(const QString& path)
{
    int bytes = 0;
    for (const QChar c : path) {
        if (c == QLatin1Char('/')) {
            bytes = 0;
            continue;
        }
        bytes += utf8Bytes(c);
        if (isDroppedFromNames(c) || bytes > kMaxNameBytes)
            return true;
    }
    return false;
}

// The longest start of text within maxBytes UTF-8 bytes, never cutting a surrogate pair.
QString headWithin(const QString& text, int maxBytes)
{
    int bytes = 0;
    int i = 0;
    for (; i < text.size(); ++i) {
        bytes += utf8Bytes(text.at(i));
        if (bytes > maxBytes)
            break;
    }
    if (i > 0 && i < text.size() && text.at(i - 1).isHighSurrogate())
        --i;
    return text.left(i);
}

// name without the characters copies are stored without; bytes is its UTF-8 length.
QString keptCharacters(const QString& name, int& bytes)
{
    QString kept;
    kept.reserve(name.size());
    bytes = 0;
    for (const QChar c : name) {
        if (!isDroppedFromNames(c)) {
            kept.append(c);
            bytes += utf8Bytes(c);
        }
    }
    return kept;
}

bool isDotName(const QString& name)
{
    return name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..");
}

// kept, what is left of original, shortened where needed and marked with a short hash of original.
QString markedName(const QString& kept, const QString& original)
{
    const QString usable = isDotName(kept) ? QString() : kept;
    const int dot = usable.lastIndexOf(QLatin1Char('.'));
    const bool keepSuffix = dot > 0 && usable.size() - dot <= kMaxKeptSuffix;
    const QString suffix = keepSuffix ? usable.mid(dot) : QString();
    const QString mark = QLatin1Char('~') + md5Hex(original).left(8);
    const QString stem = keepSuffix ? usable.left(dot) : usable;
    return headWithin(stem, kMaxNameBytes - mark.size() - suffix.toUtf8().size()) + mark + suffix;
}

bool exists(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The device path's relative form ("var/mobile/..."), its names not yet mapped.
QString deviceRelativeForm(const QString& filename)
{
    QString path = filename;
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    if (path.startsWith(QLatin1String("~/")))
        path.replace(0, 2, QStringLiteral("var/mobile/"));
    return path;
}

// relative with each component named by nameOf(component, the mapped path above it).
template <typename NameOf>
QString mappedPath(const QString& relative, NameOf nameOf)
{
    if (!needsRenaming(relative))
        return relative;
    QStringList parts = relative.split(QLatin1Char('/'));
    QString above;
    for (QString& part : parts) {
        part = nameOf(part, above);
        above += part + QLatin1Char('/');
    }
    return parts.join(QLatin1Char('/'));
}

// Whether a name that lost characters goes by its distinct name. While cache is still making the
// copies, the names it announced decide: a copy not there yet is on its way under one of them, and a
// sibling's copy under the plain name is no copy of this file.
bool takesDistinctName(const QString& distinctPath, const QString& plainPath, const FileHandoff* cache)
{
    if (cache && cache->isAnnounced(distinctPath))
        return true;
    if (cache && cache->isAnnounced(plainPath))
        return false;
    return exists(distinctPath);
}

// Where the copy of relative lies below root: a name that lost characters under its distinct name
// when a copy lies (or is on its way) there, under its plain name otherwise (copies made before
// names met, or of names that meet no other).
QString foundMirroredPath(const QString& root, const QString& relative, const FileHandoff* cache = nullptr)
{
    return mappedPath(relative, [&root, cache](const QString& part, const QString& above) {
        const QString distinct = distinctDeviceFileName(part);
        const QString plain = deviceFileName(part);
        if (distinct == plain)
            return plain;
        const QString folder = root + QLatin1Char('/') + above;
        return takesDistinctName(QDir::cleanPath(folder + distinct), QDir::cleanPath(folder + plain), cache) ? distinct
                                                                                                             : plain;
    });
}

}  // namespace

QString deviceFileName(const QString& name)
{
    if (isDotName(name))
        return name;
    int bytes = 0;
    const QString kept = keptCharacters(name, bytes);
    return !isDotName(kept) && bytes <= kMaxNameBytes ? kept : markedName(kept, name);
}

QString distinctDeviceFileName(const QString& name)
{
    if (isDotName(name))
        return name;
    int bytes = 0;
    const QString kept = keptCharacters(name, bytes);
    return kept.size() == name.size() ? deviceFileName(name) : markedName(kept, name);
}

QString mirroredPath(const QString& relative)
{
    return mappedPath(relative, [](const QString& part, const QString&) { return deviceFileName(part); });
}

QString deviceRelativePath(const QString& filename)
{
    return mirroredPath(deviceRelativeForm(filename));
}

QString attachmentLocalPath(const QDir& fileRelayDir, const QString& filename)
{
    return attachmentLocalPath(ContainedFolder(fileRelayDir.absolutePath()), filename);
}

QString attachmentLocalPath(const ContainedFolder& fileRelay, const QString& filename, const FileHandoff* cache)
{
    if (filename.isEmpty())
        return QString();
    return fileRelay.resolve(foundMirroredPath(fileRelay.path(), deviceRelativeForm(filename), cache))
        .value_or(QString());
}

QString attachmentAreaPath(const QDir& fileRelayDir, const QString& filename)
{
    return AttachmentArea(fileRelayDir).path(filename);
}

AttachmentArea::AttachmentArea(const QDir& fileRelayDir)
    : m_fileRelayDir(fileRelayDir), m_fileRelay(fileRelayDir.absolutePath())
{
}

QString AttachmentArea::path(const QString& filename)
{
    return placeOf(filename.isEmpty() ? QString()
                                      : foundMirroredPath(m_fileRelay.path(), deviceRelativeForm(filename)));
}

QString AttachmentArea::copyPath(const QString& filename, const QString& source)
{
    // Names as the source's copy has them, component by component from the file up.
    const QStringList sourceParts = source.split(QLatin1Char('/'));
    const QString relative = deviceRelativeForm(filename);
    const int depth = relative.count(QLatin1Char('/'));
    int index = 0;
    const QString mapped = mappedPath(relative, [&](const QString& part, const QString&) {
        const int fromEnd = depth - index++;
        const QString distinct = distinctDeviceFileName(part);
        const bool sourceDistinct = fromEnd < sourceParts.size()
                                    && sourceParts.at(sourceParts.size() - 1 - fromEnd) == distinct;
        return sourceDistinct ? distinct : deviceFileName(part);
    });
    return placeOf(filename.isEmpty() ? QString() : mapped);
}

QString AttachmentArea::placeOf(const QString& mapped)
{
    const QString path = mapped.isEmpty() ? QString() : m_fileRelay.resolve(mapped).value_or(QString());
    // The same separators as the containment check, so "Attachments\x" is the folder it becomes.
    const QString relative = QString(mapped).replace(QLatin1Char('\\'), QLatin1Char('/'));
    const int areaLength = attachmentAreaLength(relative);
    if (path.isEmpty() || areaLength == 0)
        return QString();
    // The area itself reached without links, and resolved inside it: a link within the area cannot
    // lead back to the database files beside it.
    const Area& found = area(relative.left(areaLength - 1));
    if (!found.reachedWithoutLinks)
        return QString();
    return found.folder->resolve(relative.mid(areaLength)) ? path : QString();
}

const AttachmentArea::Area& AttachmentArea::area(const QString& spelling)
{
    std::shared_ptr<Area>& known = m_areas[spelling];
    if (!known) {
        known = std::make_shared<Area>();
        known->reachedWithoutLinks = reachedWithoutLinks(m_fileRelayDir, spelling);
        known->folder = std::make_unique<ContainedFolder>(m_fileRelayDir.absoluteFilePath(spelling));
    }
    return *known;
}

AttachmentLocation::AttachmentLocation(const QString& path) : m_text(path) {}

AttachmentLocation::AttachmentLocation(QSharedPointer<const ContainedFolder> folder, const QString& filename)
    : m_folder(std::move(folder)), m_text(filename)
{
}

QString AttachmentLocation::path(const FileHandoff* cache) const
{
    return m_folder ? attachmentLocalPath(*m_folder, m_text, cache) : m_text;
}
