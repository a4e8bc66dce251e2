#include "backup/backupreplacement.h"

#include "core/errors.h"
#include "core/fileutil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace {

// Creates path (never over an existing file), lets fill write it and forces it to disk; a failure
// removes what was written.
template <typename Fill>
bool writeNewFile(const QString& path, Fill fill)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const bool written = fill(file) && file.flush() && ::fsync(file.handle()) == 0;
    file.close();
    if (written && file.error() == QFileDevice::NoError)
        return true;
    QFile::remove(path);
    return false;
}

// Makes the renames in folder durable; a file system that cannot sync folders loses nothing by it.
void syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

QString overwriteError(const QString& path)
{
    return QStringLiteral("can not overwrite %1.").arg(path);
}

}  // namespace

bool BackupFileOps::writeFile(const QString& path, const QByteArray& content)
{
    return writeNewFile(path, [&content](QFile& out) { return out.write(content) == content.size(); });
}

bool BackupFileOps::copyFile(const QString& source, const QString& path)
{
    QFile in;
    if (!openRegularFile(in, source).isEmpty())
        return false;
    return writeNewFile(path, [&in](QFile& out) {
        char buffer[64 * 1024];
        for (;;) {
            const qint64 count = in.read(buffer, sizeof buffer);
            if (count <= 0)
                return count == 0;
            if (out.write(buffer, count) != count)
                return false;
        }
    });
}

bool BackupFileOps::rename(const QString& from, const QString& to)
{
    return QFile::rename(from, to);
}

bool BackupFileOps::remove(const QString& path)
{
    return QFile::remove(path);
}

BackupReplacement::BackupReplacement(const QDir& folder, const QString& stamp, std::shared_ptr<BackupFileOps> ops)
    : m_folder(folder), m_stamp(stamp), m_ops(std::move(ops))
{
}

BackupReplacement::~BackupReplacement()
{
    if (!m_committed)
        undo();
}

BackupReplacement::Entry& BackupReplacement::newEntry(const QString& name)
{
    Entry entry;
    entry.target = m_folder.absoluteFilePath(name);
    entry.staged = uniqueFilePath(entry.target + QStringLiteral(".tmp"));
    m_entries.append(entry);
    m_names.insert(name);
    return m_entries.last();
}

void BackupReplacement::stageFile(const QString& name, const QString& source)
{
    const Entry& entry = newEntry(name);
    if (!m_ops->copyFile(source, entry.staged))
        throwUtf8(overwriteError(entry.target));
}

void BackupReplacement::stageContent(const QString& name, const QByteArray& content)
{
    const Entry& entry = newEntry(name);
    if (!m_ops->writeFile(entry.staged, content))
        throwUtf8(overwriteError(entry.target));
}

void BackupReplacement::commit()
{
    try {
        for (Entry& entry : m_entries)
            place(entry);
    } catch (...) {
        undo();
        throw;
    }
    m_committed = true;
    syncFolder(m_folder.absolutePath());
}

void BackupReplacement::place(Entry& entry)
{
    const QFileInfo old(entry.target);
    if (old.exists() || old.isSymLink()) {
        const QString kept = uniqueFilePath(entry.target + QLatin1Char('-') + m_stamp);
        if (!m_ops->rename(entry.target, kept))
            throwUtf8(overwriteError(entry.target));
        entry.kept = kept;
    }
    if (!m_ops->rename(entry.staged, entry.target))
        throwUtf8(overwriteError(entry.target));
    entry.placed = true;
}

void BackupReplacement::undo()
{
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
        // The new file goes back to its staged name, so the old one can return to its place.
        bool restored = !it->placed || m_ops->rename(it->target, it->staged);
        if (restored && !it->kept.isEmpty())
            restored = m_ops->rename(it->kept, it->target);
        if (!restored)
            qWarning() << "could not put back" << it->target << "; the previous file is" << it->kept;
        m_ops->remove(it->staged);
    }
    m_entries.clear();
    m_names.clear();
}
