#pragma once
// Puts new files into a backup folder all together or not at all. A backup is often the only copy of
// a phone, so no step may leave it with a missing or half-written file: every new file is first
// written in full under a temporary name beside its place and forced to disk; only then are the old
// files moved aside and the new ones moved in, and any failure moves everything back.
#include "platform/seededhash.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>

#include <memory>

// The file operations of a replacement. Each returns false on failure, leaving nothing half done;
// tests override them to fail one step after another.
class BackupFileOps {
public:
    virtual ~BackupFileOps() = default;

    // Writes the file path, which must not exist yet, with content and forces it to disk.
    virtual bool writeFile(const QString& path, const QByteArray& content);
    // The same with a copy of the regular file source (a link there is refused).
    virtual bool copyFile(const QString& source, const QString& path);
    // Never replaces a file already at to.
    virtual bool rename(const QString& from, const QString& to);
    virtual bool remove(const QString& path);
};

class BackupReplacement {
public:
    // Old files are kept in folder as "<name>-<stamp>", or a free name like it when that is taken.
    BackupReplacement(const QDir& folder, const QString& stamp, std::shared_ptr<BackupFileOps> ops);
    // Undoes everything unless commit() succeeded.
    ~BackupReplacement();
    BackupReplacement(const BackupReplacement&) = delete;
    BackupReplacement& operator=(const BackupReplacement&) = delete;

    // Stage the new content of the file name in folder. Throw std::runtime_error ("can not overwrite
    // <path>.") when the staged copy cannot be written.
    void stageFile(const QString& name, const QString& source);
    void stageContent(const QString& name, const QByteArray& content);
    bool isStaged(const QString& name) const { return m_names.contains(name); }

    // In staging order, moves each old file aside and its new one into place. On a failure undoes
    // every step taken, removes the staged files and throws std::runtime_error.
    void commit();

private:
    struct Entry {
        QString target;
        QString staged;
        QString kept;  // where the old file went; "" while it has not moved (or there is none)
        bool placed = false;
    };

    Entry& newEntry(const QString& name);
    void place(Entry& entry);
    // Puts back every old file and removes every new one, in reverse order.
    void undo();

    QDir m_folder;
    QString m_stamp;
    std::shared_ptr<BackupFileOps> m_ops;
    QList<Entry> m_entries;
    TextSet m_names;
    bool m_committed = false;
};
