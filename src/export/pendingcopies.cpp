#include "export/pendingcopies.h"

#include "core/errors.h"
#include "core/fileutil.h"
#include "msgdb/attachmentpath.h"
#include "platform/sqlite3db.h"
#include "platform/seededhash.h"

#include <QDebug>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Hidden, so that nobody takes it for part of the database.
const QString kListName = QStringLiteral(".copies-in-progress");

}  // namespace

PendingCopies::PendingCopies(const QDir& databaseDir) : m_path(databaseDir.absoluteFilePath(kListName)) {}

int PendingCopies::sweep(Sqlite3DB& db, const QDir& fileRelayDir)
{
    QFile list(m_path);
    if (!list.open(QIODevice::ReadOnly))
        return 0;
    AttachmentArea area(fileRelayDir);
    TextSet named;  // paths from the database
    for (Sqlite3Cursor rows = db.queryThrow(QStringLiteral("select filename from attachment")); rows.moveNext();)
        named.insert(area.path(rows.getText(0)));
    int removed = 0;
    while (!list.atEnd()) {
        // Entries are percent-encoded: a device path may hold a line break.
        const QString filename = QString::fromUtf8(QByteArray::fromPercentEncoding(list.readLine().trimmed()));
        const QString path = area.path(filename);
        if (path.isEmpty() || named.contains(path) || !QFileInfo(path).isFile() || QFileInfo(path).isSymLink())
            continue;
        if (QFile::remove(path))
            ++removed;
        else
            qWarning().noquote() << "local database: cannot remove the copy left by a run that never ended:" << path;
    }
    list.close();
    if (removed > 0)
        qInfo().noquote() << "local database: removed" << removed << "attachment copies left by a run that never ended";
    QFile::remove(m_path);
    return removed;
}

void PendingCopies::note(const QString& filename)
{
    if (!m_file.isOpen()) {
        // Made for its owner alone from the start, as every file of the data folder: it names
        // the attachments of one person's messages.
        const int fd = ::open(QFile::encodeName(m_path).constData(),
                              O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            throwUtf8(QStringLiteral("Cannot write %1: %2").arg(m_path, systemErrorText(errno)));
        if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            throwUtf8(QStringLiteral("Cannot write %1: %2").arg(m_path, m_file.errorString()));
        }
    }
    // Written through at once: the list must name a copy before the copy exists.
    if (m_file.write(filename.toUtf8().toPercentEncoding() + '\n') < 0 || !m_file.flush())
        throwUtf8(QStringLiteral("Cannot write %1: %2").arg(m_path, m_file.errorString()));
}

void PendingCopies::clear()
{
    if (!m_file.isOpen())
        return;  // a list this object never wrote belongs to a run still to be swept
    m_file.close();
    QFile::remove(m_path);
}
