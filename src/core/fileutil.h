#pragma once
// Small file helpers shared by every subsystem.
#include <QString>
#include <QStringList>

#include <functional>

class QDir;
class QFile;

// path when nothing is there yet; otherwise the absolute path of the first free "<name>(n).<suffix>"
// beside it, where <name> is everything before the last dot ("report.tar.gz" -> "report.tar(1).gz").
QString uniqueFilePath(const QString& path);

// Copies source to the new file destination: written unnamed (or under a temporary name beside it)
// with the source's permissions, in the kernel where the file systems allow, then linked into place,
// never over a file already there. False, leaving
// nothing behind, when source cannot be read; throws (UTF-8 text) when destination cannot be written:
// a full disk, a missing folder, a name taken meanwhile. No sync to disk: exports copy thousands of
// small files.
bool copyToNewFile(const QString& source, const QString& destination);

// A file name made safe from text taken from data: without \ / : * ? " < > |, control characters
// and unpaired surrogates, trimmed, at most 200 UTF-8 bytes, and never "", "." or ".." ("_" then).
// Callers that must refuse an unusable name check the name itself, not this result.
QString sanitizeFileName(const QString& name);

// Lower-case hex MD5 of text as UTF-8.
QString md5Hex(const QString& text);

// Deletes a folder tree, hidden files included. Symbolic links are removed as links; their targets
// are never touched, and a path that is itself a link loses only the link. True when it is all gone.
// stopped, when given, is asked before each entry: once it answers true the walk ends with false,
// what it removed staying removed.
bool removeDirRecursive(const QString& path, const std::function<bool()>& stopped = {});

// Creates the folder path with the missing folders above it, each new one open to its owner alone
// (0700): what the program keeps below its data folder is one person's messages. Folders already
// there keep their modes. True when path is a folder afterwards.
bool makePrivatePath(const QString& path);

// Limits the file at path to its owner (0600). False when it could not.
bool makeFilePrivate(const QString& path);

// The names of folder's sub-folders, sorted by name so lists built from them read the same on every
// start.
QStringList subfolderNames(const QDir& folder);

// Opens path read-only and unbuffered into file (which must be closed) only when its last component
// is a regular file: a symbolic link there is refused, not followed, while the folders above may be
// links; a folder, pipe or device is refused without blocking on it. "" on success, else the reason
// in words for the user (the system's own, "No such file or directory", where it has one).
QString openRegularFile(QFile& file, const QString& path);

// The system's text for an errno value.
QString systemErrorText(int errorNumber);

// Shows a local folder or opens a local file with its default application.
bool openInExplorer(const QString& path);

// Opens an http or https URL in the browser; any other target is refused and logged, since
// targets may come from network replies.
bool openUrl(const QString& target);
