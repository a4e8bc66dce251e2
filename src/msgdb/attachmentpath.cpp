#include "msgdb/attachmentpath.h"

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

}  // namespace

QString deviceRelativePath(const QString& filename)
{
    QString path = filename;
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    if (path.startsWith(QLatin1String("~/")))
        path.replace(0, 2, QStringLiteral("var/mobile/"));
    // Characters a Windows file name cannot hold; copies are stored without them.
    static const QString kDropped = QStringLiteral(":*?\"<>|");
    QString kept;
    kept.reserve(path.size());
    for (const QChar c : qAsConst(path)) {
        if (!kDropped.contains(c))
            kept.append(c);
    }
    return kept;
}

QString attachmentLocalPath(const QDir& fileRelayDir, const QString& filename)
{
    return attachmentLocalPath(ContainedFolder(fileRelayDir.absolutePath()), filename);
}

QString attachmentLocalPath(const ContainedFolder& fileRelay, const QString& filename)
{
    if (filename.isEmpty())
        return QString();
    return fileRelay.resolve(deviceRelativePath(filename)).value_or(QString());
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
    const QString path = attachmentLocalPath(m_fileRelay, filename);
    // The same separators as the containment check, so "Attachments\x" is the folder it becomes.
    const QString relative = deviceRelativePath(filename).replace(QLatin1Char('\\'), QLatin1Char('/'));
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

QString AttachmentLocation::path() const
{
    return m_folder ? attachmentLocalPath(*m_folder, m_text) : m_text;
}
