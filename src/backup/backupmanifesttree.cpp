// Building a manifest's file tree and its index of well-known files.
#include "backup/backupmanifest.h"

#include "core/safepath.h"

#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const QString appDomainPrefix = QStringLiteral("AppDomain-");
const QString applicationsName = QStringLiteral("Applications");
const QString devicePathPrefix = QStringLiteral("/var/mobile/");

struct DecodedRecord {
    QString domain;
    QString path;
    MbdbRecord record;
};

// Decodes every record once, then sorts by domain and path (the order of mbdbRecordLessThan).
std::vector<DecodedRecord> decodedInOrder(const MbdbRecordSet& records)
{
    std::vector<DecodedRecord> decoded;
    decoded.reserve(size_t(records.size()));
    for (const MbdbRecord& record : records)
        decoded.push_back({record.domain.toString(), record.path.toString(), record});
    std::sort(decoded.begin(), decoded.end(), [](const DecodedRecord& a, const DecodedRecord& b) {
        return a.domain != b.domain ? a.domain < b.domain : a.path < b.path;
    });
    return decoded;
}

// Applications live below "Applications/<bundle id>"; every other domain shares one namespace.
QString treePathOf(const DecodedRecord& entry)
{
    if (!entry.domain.startsWith(appDomainPrefix))
        return entry.path;
    QString treePath = applicationsName + QLatin1Char('/') + entry.domain.mid(appDomainPrefix.size());
    if (!entry.path.isEmpty())
        treePath += QLatin1Char('/') + entry.path;
    return treePath;
}

// Patterns that must match the whole path end in \z: "$" would also accept a trailing line break.
QRegularExpression caseless(const QString& pattern)
{
    return QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption);
}

// Captures of pattern when it matches path; an empty list otherwise.
QStringList capturesOf(const QRegularExpression& pattern, const QString& path)
{
    const QRegularExpressionMatch match = pattern.match(path);
    return match.hasMatch() ? match.capturedTexts() : QStringList();
}

QString baseName(const QString& fileName)
{
    return fileName.left(fileName.indexOf(QLatin1Char('.')));
}

void classifyCameraRoll(BackupManifest& manifest, BackupFileNode* node, const QString& path)
{
    static const QRegularExpression media = caseless(QStringLiteral("^Media/DCIM/\\d+APPLE/[^/\\.]+(\\.[^/\\.]+)"));
    static const QRegularExpression metaThumb =
        caseless(QStringLiteral("^Media/PhotoData/MetaData/DCIM/\\d+APPLE/([^/\\.]+)(\\.[^/\\.]+)"));
    static const QRegularExpression thumb =
        caseless(QStringLiteral("^Media/DCIM/\\.THMB/[^/]+/\\d+APPLE___([^/\\.]+)(\\.[^/\\.]+)"));

    if (const QStringList captures = capturesOf(media, path); !captures.isEmpty()) {
        const QString extension = captures.at(1).toLower();
        if (extension == QLatin1String(".mov"))
            manifest.cameraRollVideos.append(node);
        else if (extension == QLatin1String(".jpg") || extension == QLatin1String(".png"))
            manifest.cameraRollPhotos.append(node);
    } else if (const QStringList captures = capturesOf(metaThumb, path); !captures.isEmpty()) {
        if (captures.at(2).toLower() == QLatin1String(".thm"))
            manifest.photoThumbnails.insert(captures.at(1), node);
    } else if (const QStringList captures = capturesOf(thumb, path); !captures.isEmpty()) {
        const QString extension = captures.at(2).toLower();
        if (extension == QLatin1String(".jpg") || extension == QLatin1String(".png"))
            manifest.photoThumbnails.insert(captures.at(1), node);
    }
}

void classifyHome(BackupManifest& manifest, BackupFileNode* node, const QString& path)
{
    const std::pair<const char*, BackupFileNode* BackupManifest::*> fixedPaths[] = {
        {"Library/SMS/sms.db", &BackupManifest::smsDb},
        {"Library/AddressBook/AddressBook.sqlitedb", &BackupManifest::addressBookDb},
        {"Library/AddressBook/AddressBookImages.sqlitedb", &BackupManifest::addressBookImagesDb},
        {"Library/Notes/notes.sqlite", &BackupManifest::notesDb},
        {"Library/Calendar/Calendar.sqlitedb", &BackupManifest::calendarDb},
        {"Library/Calendar/Extras.db", &BackupManifest::calendarExtrasDb},
        {"Library/Voicemail/voicemail.db", &BackupManifest::voicemailDb},
        {"Library/Safari/Bookmarks.db", &BackupManifest::safariBookmarksDb},
        {"Library/CallHistoryDB/CallHistory.storedata", &BackupManifest::callHistoryStore},
    };
    for (const auto& [fixedPath, member] : fixedPaths) {
        if (!(manifest.*member) && path.compare(QLatin1String(fixedPath), Qt::CaseInsensitive) == 0) {
            manifest.*member = node;
            return;
        }
    }
    static const QRegularExpression voicemail = caseless(QStringLiteral("^Library/Voicemail/(\\d+)\\.amr\\z"));
    if (const QStringList captures = capturesOf(voicemail, path); !captures.isEmpty())
        manifest.voicemails.insert(captures.at(1).toInt(), node);  // a number beyond 32 bits reads as 0
}

// Device-path keys of a message attachment: "-preview" variants are keyed with their suffix, every
// other file by its path without the extension.
void indexSmsDevicePath(BackupManifest& manifest, BackupFileNode* node, const QString& path)
{
    static const QString preview = QStringLiteral("-preview");
    static const QString previewLeft = QStringLiteral("-preview-left");
    const int previewAt = path.lastIndexOf(preview);
    if (previewAt > 0) {
        manifest.smsFilesByDevicePath.insert(devicePathPrefix + path.left(previewAt) + preview, node);
        const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        if (fileName.contains(previewLeft, Qt::CaseInsensitive))
            manifest.smsFilesByDevicePath.insert(devicePathPrefix + path.left(previewAt) + previewLeft, node);
        return;
    }
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    manifest.smsFilesByDevicePath.insert(devicePathPrefix + (dot > 0 ? path.left(dot) : path), node);
}

void classifyMedia(BackupManifest& manifest, BackupFileNode* node, const QString& path)
{
    if (!manifest.recordingsDb &&
        path.compare(QLatin1String("Media/Recordings/Recordings.db"), Qt::CaseInsensitive) == 0) {
        manifest.recordingsDb = node;
        return;
    }
    // Folders by their mode, so an empty file (a fresh "-wal" or an empty attachment) is still indexed.
    if (path.startsWith(QLatin1String("Library/SMS/"), Qt::CaseInsensitive)) {
        if (node->record.isFolder())
            return;
        indexSmsDevicePath(manifest, node, path);
        static const QRegularExpression part = caseless(QStringLiteral("^Library/SMS/Parts/[^/]+/[^/]+/([^/]+)\\z"));
        static const QRegularExpression attachment =
            caseless(QStringLiteral("^Library/SMS/Attachments/([^/]+)/([^/]+)\\z"));
        if (const QStringList captures = capturesOf(part, path); !captures.isEmpty())
            manifest.smsParts.insert(baseName(captures.at(1)), node);
        else if (const QStringList captures = capturesOf(attachment, path); !captures.isEmpty())
            manifest.smsAttachments.insert(captures.at(1) + QLatin1Char('/') + baseName(captures.at(2)), node);
        return;
    }
    static const QRegularExpression memo = caseless(QStringLiteral("^Media/Recordings/([^/.]+\\.m4a)\\z"));
    if (const QStringList captures = capturesOf(memo, path); !captures.isEmpty() && !node->record.isFolder())
        manifest.voiceMemos.insert(captures.at(1), node);
}

void classify(BackupManifest& manifest, BackupFileNode* node, const DecodedRecord& entry)
{
    const auto isDomain = [&entry](const char* name) {
        return entry.domain.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
    };
    if (isDomain("CameraRollDomain"))
        classifyCameraRoll(manifest, node, entry.path);
    else if (isDomain("HomeDomain"))
        classifyHome(manifest, node, entry.path);
    else if (isDomain("MediaDomain"))
        classifyMedia(manifest, node, entry.path);
    else if (isDomain("WirelessDomain") && !manifest.callHistoryDb &&
             entry.path.compare(QLatin1String("Library/CallHistory/call_history.db"), Qt::CaseInsensitive) == 0)
        manifest.callHistoryDb = node;
}

}  // namespace

const char BackupManifest::kNewerBackupFormatText[] =
    "This backup was made by iOS 10 or later (it has Manifest.db, not Manifest.mbdb); Tallowmere reads backups "
    "with Manifest.mbdb.";

bool BackupManifest::isNewerFormat(const QDir& folder)
{
    return QFileInfo::exists(folder.absoluteFilePath(QStringLiteral("Manifest.db")))
        && !QFileInfo::exists(folder.absoluteFilePath(QStringLiteral("Manifest.mbdb")));
}

void BackupManifest::clearTree()
{
    cameraRollPhotos.clear();
    cameraRollVideos.clear();
    photoThumbnails.clear();
    smsParts.clear();
    smsAttachments.clear();
    smsFilesByDevicePath.clear();
    for (BackupFileNode** known : {&smsDb, &addressBookDb, &addressBookImagesDb, &notesDb, &calendarDb,
                                   &calendarExtrasDb, &recordingsDb, &voicemailDb, &safariBookmarksDb,
                                   &callHistoryDb, &callHistoryStore})
        *known = nullptr;
    voiceMemos.clear();
    voicemails.clear();
    root.children.clear();
}

void BackupManifest::loadMbdb(const std::function<bool()>& cancelled)
{
    if (!root.children.empty())
        return;
    const auto stopWhenCancelled = [this, &cancelled] {
        if (cancelled && cancelled()) {
            clearTree();
            throw -1;
        }
    };
    if (isNewerFormat(backupDir))
        throw std::runtime_error(kNewerBackupFormatText);
    const std::vector<DecodedRecord> records = [&] {
        const MbdbRecordSet read = readMbdb(backupDir.absoluteFilePath(QStringLiteral("Manifest.mbdb")));
        stopWhenCancelled();
        return decodedInOrder(read);
    }();
    stopWhenCancelled();

    QMap<QString, BackupFileNode*> nodesByTreePath;
    int orphans = 0;
    size_t done = 0;
    for (const DecodedRecord& entry : records) {
        if (++done % 1024 == 0)
            stopWhenCancelled();
        if (entry.domain.startsWith(appDomainPrefix) && !nodesByTreePath.contains(applicationsName))
            nodesByTreePath.insert(applicationsName, root.addChild(std::make_unique<BackupFileNode>(
                                                         &root, MbdbRecord(), applicationsName)));

        const QString treePath = treePathOf(entry);
        const int slash = treePath.lastIndexOf(QLatin1Char('/'));
        const QString name = treePath.mid(slash + 1);
        if (entry.path.isEmpty() && name.isEmpty())
            continue;  // a domain's own root record
        if (nodesByTreePath.contains(treePath))
            continue;  // a path already taken by an earlier domain
        // The cache job turns node names into local paths, so "..", "." and empty components stop
        // here (a trailing "/" is an empty last one).
        if (name.isEmpty() || !isSafeRelativePath(treePath)) {
            qWarning().nospace() << "Manifest.mbdb: skipped unsafe path " << entry.domain << "-" << entry.path;
            unsafeRecords.append(entry.record);
            continue;
        }
        const QString parentPath = slash < 0 ? QString() : treePath.left(slash);
        BackupFileNode* parent = nodesByTreePath.value(parentPath, &root);
        if (parent == &root && !parentPath.isEmpty())
            ++orphans;
        BackupFileNode* node = parent->addChild(std::make_unique<BackupFileNode>(parent, entry.record, name));
        nodesByTreePath.insert(treePath, node);
        classify(*this, node, entry);
    }
    if (orphans > 0)
        qWarning().nospace() << "Manifest.mbdb in " << backupDir.absolutePath() << ": " << orphans
                             << " records without a folder record were put at the top of the tree";
}
