#pragma once
// The one gate for paths taken from data (attachment names, manifest and archive entries, device
// ids) before they touch the file system.
//
// Backslashes count as separators, like slashes: backups and archives made on Windows use them, and
// letting "a\..\..\b" through as one odd file name would only move the danger to whoever reads it
// later. A file name that really contains a backslash therefore becomes nested folders.
#include "platform/seededhash.h"

#include <QMutex>
#include <QString>

#include <optional>

// Lexical check only: non-empty, no NUL, not absolute (no leading separator, no "C:" drive), and no
// empty, "." or ".." component. A trailing separator is an empty component too.
bool isSafeRelativePath(const QString& relative);

// The absolute clean path of relative below folder, or nullopt (logged) when relative fails
// isSafeRelativePath or, once symbolic links that already exist are followed, lands outside
// folder. The file system may change afterwards; callers create inside folders they own.
std::optional<QString> resolveContained(const QString& folder, const QString& relative);

// One folder that many paths are resolved below, exactly as resolveContained does, with the real
// location of each existing folder on the way worked out once and remembered: attachments and backup
// files share their upper folders, so most paths cost one look at the file itself. For one pass of a
// reader or a job; a folder replaced by a link meanwhile needs a new object. Safe to share between
// threads.
class ContainedFolder {
public:
    explicit ContainedFolder(const QString& folder);
    ContainedFolder(const ContainedFolder&) = delete;
    ContainedFolder& operator=(const ContainedFolder&) = delete;

    std::optional<QString> resolve(const QString& relative) const;
    // The folder's clean absolute path.
    QString path() const { return m_base; }

private:
    // path: clean, absolute and below m_base. "" when a link on the way dangles.
    QString realLocationBelow(const QString& path) const;

    QString m_folder;
    QString m_base;      // clean absolute path
    QString m_realBase;  // with links resolved; "" when a link on the way dangles
    mutable QMutex m_mutex;
    mutable TextHash<QString> m_realFolders;  // existing folders that are no links -> real location
};
