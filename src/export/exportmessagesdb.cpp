#include "export/exportmessagesdb.h"

#include "core/errors.h"
#include "core/fileutil.h"
#include "core/safepath.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/msgutil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

bool isStorableService(const QString& service)
{
    return service == QLatin1String("SMS") || service == QLatin1String("iMessage");
}

}  // namespace

ExportMessagesDb::ExportMessagesDb(const QDir& targetDir, const QString& mcc)
    : m_database(targetDir, mcc, true),
      m_merge(m_database, Ios6MessageMerge::Rules{true, true}),
      m_pendingCopies(targetDir)
{
}

ExportMessagesDb::~ExportMessagesDb()
{
    rollBack();
}

void ExportMessagesDb::begin()
{
    m_database.open();
    m_pendingCopies.sweep(m_database, m_database.fileRelayDir());
    // One copy is one transaction. A page cache too small for it writes pages out half-way, after a
    // sync of the journal each time, and reads them back; this one holds an import of a large history
    // (a local database takes about 350 bytes a message), and takes memory only as pages are used.
    QString error;
    if (m_database.exec(QStringLiteral("PRAGMA cache_size=-262144"), error) != 0)
        qWarning().noquote() << "local database: page cache left as it was:" << error;
    m_database.beginTransaction();
    m_merge.begin();
    m_copier = std::make_unique<AttachmentCopier>(m_database.fileRelayDir(), m_pendingCopies, m_sources);
}

void ExportMessagesDb::expect(const MsgMessageList& messages)
{
    if (m_database.hasLogicHash())
        m_hashesAhead = std::make_unique<LogicHashesAhead>(messages);
}

void ExportMessagesDb::end()
{
    m_hashesAhead.reset();
    m_merge.finish();
    if (m_copier)
        m_copier->finish();  // every file in place before its rows are committed
    m_database.endTransaction(true);
    m_database.close();
    m_pendingCopies.clear();
    // Committed: the copies belong to the database now.
    m_copier.reset();
    m_merge.forgetLookups();
}

void ExportMessagesDb::rollBack()
{
    m_hashesAhead.reset();
    if (m_copier)
        m_copier->cancel();
    // close() drops an open transaction without committing it.
    m_database.close();
    removeCreated();
    m_pendingCopies.clear();
    m_copier.reset();
    m_merge.forgetLookups();
}

bool ExportMessagesDb::canStore(const _MsgMessage& message)
{
    if (message.item_type != 0 && !m_database.hasItemType())
        return false;
    if (!Ios6MessageMerge::hasStorableChat(message)) {
        qDebug(message.chat ? "local database: skipped a message of an unknown conversation"
                            : "local database: skipped a message without conversation");
        return false;
    }
    // The layout knows only these services; one odd conversation must not abort the whole copy.
    if (!isStorableService(message.chat->service_name)) {
        qInfo().noquote() << "local database: skipped a message of conversation" << message.chat->chat_identifier
                          << "with service" << message.chat->service_name;
        return false;
    }
    return true;
}

void ExportMessagesDb::exportMessage(_MsgMessage* message)
{
    const QString* logicHash = m_hashesAhead ? m_hashesAhead->take(message) : nullptr;
    if (!canStore(*message)) {
        ++m_skipped;
        return;
    }
    m_merge.merge(
        *message,
        [this](const _MsgAttachment& attachment) {
            if (m_copier)
                m_copier->copy(attachment);
        },
        logicHash);
}

void ExportMessagesDb::removeCreated()
{
    if (!m_copier)
        return;
    const QStringList& files = m_copier->createdFiles();
    for (auto file = files.crbegin(); file != files.crend(); ++file) {
        if (!QFile::remove(*file))
            qWarning().noquote() << "local database: cannot remove the copied attachment" << *file;
    }
    // Deepest first; rmdir keeps a folder that gained files from anyone else.
    const QStringList& folders = m_copier->createdFolders();
    for (auto folder = folders.crbegin(); folder != folders.crend(); ++folder)
        QDir().rmdir(*folder);
}
