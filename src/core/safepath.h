#pragma once
// The one gate for paths taken from data (attachment names, manifest and archive entries, device
// ids) before they touch the file system.
//
// Backslashes count as separators, like slashes: backups and archives made on Windows use them, and
// letting "a\..\..\b" through as one odd file name would only move the danger to whoever reads it
// later. A file name that really contains a backslash therefore becomes nested folders.
#include <QString>

#include <optional>

// Lexical check only: non-empty, no NUL, not absolute (no leading separator, no "C:" drive), and no
// empty, "." or ".." component. A trailing separator is an empty component too.
bool isSafeRelativePath(const QString& relative);

// The absolute clean path of relative below folder, or nullopt (logged) when relative fails
// isSafeRelativePath or, once symbolic links that already exist are followed, lands outside
// folder. The file system may change afterwards; callers create inside folders they own.
std::optional<QString> resolveContained(const QString& folder, const QString& relative);

// One folder that many paths are resolved below, as resolveContained does, with the folder's own real
// location worked out once. For one pass of a reader; a folder replaced meanwhile needs a new object.
class ContainedFolder {
public:
    explicit ContainedFolder(const QString& folder);
    std::optional<QString> resolve(const QString& relative) const;

private:
    QString m_folder;
    QString m_base;      // clean absolute path
    QString m_realBase;  // with links resolved; "" when a link on the way dangles
};
