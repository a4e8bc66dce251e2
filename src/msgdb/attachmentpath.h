#pragma once
// Where the copy of a device file lives on this computer. Message databases store attachment paths
// as the device knows them ("/var/mobile/Library/SMS/Attachments/...", "~/Library/SMS/..."); every
// source keeps its copies below a "file-relay" folder that mirrors the device tree.
#include "core/safepath.h"
#include "platform/seededhash.h"

#include <QDir>
#include <QSharedPointer>
#include <QString>

#include <memory>

class FileHandoff;

// The folder below a source's own folder that mirrors the device tree.
inline constexpr char kFileRelayFolder[] = "file-relay";

// The name one component of a device path has in the mirrored tree, the same for the caching job
// that writes the copies and for every reader that looks for them: the characters : * ? " < > | and
// control characters dropped, blanks kept. A name then "", "." or "..", or longer than 200 UTF-8
// bytes, is cut at a character boundary and marked with a short hash of the whole name (its suffix
// kept), so that long names alike in their first 200 bytes stay apart. "", "." and ".." themselves
// come back unchanged, for the containment check to refuse.
QString deviceFileName(const QString& name);

// The name a copy takes where deviceFileName would give it the name of another file in the same
// folder (a:b.jpg and a*b.jpg both become ab.jpg): for a name that loses characters, what is left
// marked with a short hash of the whole name, as long names are; any other name as deviceFileName
// names it. Names that meet no other keep deviceFileName's name, so copies made before stay found:
// readers look for a name that lost characters under this name first, then under the plain one.
QString distinctDeviceFileName(const QString& name);

// A path below the mirrored tree's root ("var/mobile/..."), as a file relay's archive names its
// entries, with every component named as deviceFileName names it. Not yet checked for containment.
QString mirroredPath(const QString& relative);

// Where a path below the mirrored tree's root lies against the places the iOS 5 reader writes the MMS
// parts of its database to ("var/mobile/Library/SMS/Parts/<group>/<message>/<part file>"): a copy
// must make no folder there, or the part would have no place.
enum class MmsPartPlace { Outside, At, Below };
MmsPartPlace mmsPartPlaceOf(const QString& relative);

// The device path as a path relative to the mirrored tree: one leading "/" dropped, a leading "~/"
// made "var/mobile/", and the rest as mirroredPath names it. Not yet checked for containment.
QString deviceRelativePath(const QString& filename);

// The absolute path of the copy of filename below fileRelayDir (a name that lost characters as
// distinctDeviceFileName names it when a copy lies there), or "" (the file counts as missing)
// when filename is empty, or its relative form is absolute, holds a "." or ".." component, or
// resolves outside fileRelayDir.
QString attachmentLocalPath(const QDir& fileRelayDir, const QString& filename);
// The same below a folder resolved once, for readers that map many attachments in one pass. While
// cache is still filling the folder, a name that lost characters is named as cache announced it.
QString attachmentLocalPath(const ContainedFolder& fileRelay, const QString& filename,
                            const FileHandoff* cache = nullptr);

// The copy of filename as attachmentLocalPath gives it, but only when filename lies in the message
// attachment folders ("Library/SMS/Attachments/..." or "Library/SMS/Parts/..." of the mobile user;
// compared without regard to case, as the device's file system does) and no symbolic link below
// fileRelayDir leads it out of them; "" otherwise. Writers and deleters of attachment copies go
// through here, so a row naming a database file ("~/Library/SMS/sms.db-wal") never reaches it.
QString attachmentAreaPath(const QDir& fileRelayDir, const QString& filename);

// The attachment folders below one file-relay folder, for a job that places or removes many copies:
// path() answers as attachmentAreaPath, with the folders on the way looked at once per job rather
// than once per file. The job may create folders below it, never links. One thread at a time.
class AttachmentArea {
public:
    explicit AttachmentArea(const QDir& fileRelayDir);
    QString path(const QString& filename);
    // Where the copy of source, a copy of filename below another file-relay folder, goes: as path(),
    // but each name that lost characters takes the distinct name where source's has it, so names
    // kept apart there stay apart here.
    QString copyPath(const QString& filename, const QString& source);

private:
    struct Area {
        bool reachedWithoutLinks = false;
        std::unique_ptr<ContainedFolder> folder;
    };
    const Area& area(const QString& spelling);
    // The checked place of the mirrored relative path mapped; "" when there is none.
    QString placeOf(const QString& mapped);

    QDir m_fileRelayDir;
    ContainedFolder m_fileRelay;
    TextHash<std::shared_ptr<Area>> m_areas;  // by the area's spelling in the device path
};

// Where the copy of an attachment lies on this computer. A reader leaves the device path with the
// folder the copies lie below, and the path is checked each time a file is used rather than when the
// row is read: a whole-database read would otherwise look at every file, and most reads use none.
class AttachmentLocation {
public:
    AttachmentLocation() = default;
    // A path the caller made or checked itself, used as it stands.
    AttachmentLocation(const QString& path);  // NOLINT(google-explicit-constructor)
    // The copy of the device path filename below folder, as attachmentLocalPath maps it.
    AttachmentLocation(QSharedPointer<const ContainedFolder> folder, const QString& filename);

    // The absolute path, or "" when there is none or it leads outside its folder. cache, when the
    // folder is still being filled by it, names the copies on their way.
    QString path(const FileHandoff* cache = nullptr) const;

private:
    QSharedPointer<const ContainedFolder> m_folder;  // null: m_text is the path itself
    QString m_text;
};
