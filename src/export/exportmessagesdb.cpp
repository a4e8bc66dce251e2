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

// Recovered messages are filed under conversations with row ids this low; they have no real
// conversation to store them in.
constexpr qint64 kRecoveredChatRowidLimit = -2047483646;

bool isStorableService(const QString& service)
{
    return service == QLatin1String("SMS") || service == QLatin1String("iMessage");
}

bool holdsNoRows(IOS6MessageDb& db)
{
    return db.queryFirstInt64("select exists(select 1 from message) or exists(select 1 from chat)"
                              " or exists(select 1 from handle) or exists(select 1 from attachment)"
                              " or exists(select 1 from chat_handle_join) or exists(select 1 from chat_message_join)"
                              " or exists(select 1 from message_attachment_join)")
               .value_or(1)
        == 0;
}

}  // namespace

ExportMessagesDb::ExportMessagesDb(const QDir& targetDir, const QString& mcc)
    : m_database(targetDir, mcc, true), m_pendingCopies(targetDir)
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
    m_startedEmpty = holdsNoRows(m_database);
    m_messageRowsByHash.clear();
    m_messageRowsByGuid.clear();
    m_attachmentRows.clear();
    m_chatLast.clear();
    m_lastAddressedHandle.clear();
    m_copier = std::make_unique<AttachmentCopier>(m_database.fileRelayDir(), m_pendingCopies, m_sources);
}

void ExportMessagesDb::end()
{
    writeChatUpdates();
    if (m_copier)
        m_copier->finish();  // every file in place before its rows are committed
    m_database.endTransaction(true);
    m_database.close();
    m_pendingCopies.clear();
    // Committed: the copies belong to the database now.
    m_copier.reset();
}

void ExportMessagesDb::rollBack()
{
    if (m_copier)
        m_copier->cancel();
    // close() drops an open transaction without committing it.
    m_database.close();
    removeCreated();
    m_pendingCopies.clear();
    m_copier.reset();
}

bool ExportMessagesDb::canStore(const _MsgMessage& message)
{
    if (message.item_type != 0 && !m_database.hasItemType())
        return false;
    if (!message.chat) {
        qDebug("local database: skipped a message without conversation");
        return false;
    }
    if (message.chat->rowid < kRecoveredChatRowidLimit) {
        qDebug("local database: skipped a message of an unknown conversation");
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
    if (!canStore(*message)) {
        ++m_skipped;
        return;
    }
    const _MsgChat& chat = *message->chat;
    const qint64 chatRowid = chatRow(chat);
    const qint64 handleRowid = message->handle ? memberHandleRow(chatRowid, *message->handle) : 0;
    const qint64 messageRowid = messageRow(*message, chatRowid, handleRowid);
    if (chat.isGroup() && message->handle)
        m_lastAddressedHandle.insert(chatRowid, message->handle->id);
    for (const _MsgAttachment* attachment : message->sortedAttachments())
        storeAttachment(messageRowid, *attachment);
}

qint64 ExportMessagesDb::chatRow(const _MsgChat& chat)
{
    qint64& row = m_chatRows[chat.guid];
    if (row == 0)
        row = m_database.chatRowidByGuid(chat.guid);
    if (row == 0)
        row = m_database.insertChat(chat);
    return row;
}

qint64 ExportMessagesDb::memberHandleRow(qint64 chatRowid, const _MsgHandle& handle)
{
    qint64& row = m_handleRows[qMakePair(handle.id, handle.service)];
    if (row == 0)
        row = m_database.handleRowid(handle);
    if (row == 0) {
        row = m_database.insertHandle(handle);
        m_database.replaceChatHandleJoin(chatRowid, row);
        m_members.insert(qMakePair(chatRowid, row), true);
        return row;
    }
    bool& member = m_members[qMakePair(chatRowid, row)];
    if (!member && !m_database.hasChatHandleJoin(chatRowid, row))
        m_database.replaceChatHandleJoin(chatRowid, row);
    member = true;
    return row;
}

qint64 ExportMessagesDb::messageRow(const _MsgMessage& message, qint64 chatRowid, qint64 handleRowid)
{
    // Made once for both the look-up and the new row.
    const QString logicHash = m_database.hasLogicHash() ? messageLogicHash(&message) : QString();
    qint64 row = logicHash.isEmpty() ? 0
        : m_startedEmpty             ? m_messageRowsByHash.value(logicHash)
                                     : m_database.messageRowidByLogicHash(logicHash);
    if (row == 0)
        row = m_startedEmpty ? m_messageRowsByGuid.value(message.guid) : m_database.messageRowidByGuid(message.guid);
    if (row != 0)
        return row;
    const qint64 otherRowid = message.otherHandle ? memberHandleRow(chatRowid, *message.otherHandle) : 0;
    row = m_database.insertMessage(message, handleRowid, otherRowid, logicHash);
    if (m_startedEmpty) {
        if (!logicHash.isEmpty())
            m_messageRowsByHash.insert(logicHash, row);
        m_messageRowsByGuid.insert(message.guid, row);
    }
    m_database.replaceChatMessageJoin(chatRowid, row);
    const auto last = m_chatLast.find(chatRowid);
    if (last == m_chatLast.end())
        m_chatLast.insert(chatRowid, message.date);
    else
        *last = qMax(*last, message.date);
    return row;
}

void ExportMessagesDb::storeAttachment(qint64 messageRowid, const _MsgAttachment& attachment)
{
    if (m_copier)
        m_copier->copy(attachment);
    qint64 row = m_startedEmpty ? m_attachmentRows.value(attachment.guid) : m_database.attachmentRowidByGuid(attachment);
    if (row == 0) {
        row = m_database.insertAttachment(attachment);
        if (m_startedEmpty)
            m_attachmentRows.insert(attachment.guid, row);
    }
    m_database.replaceMessageAttachmentJoin(messageRowid, row);
}

void ExportMessagesDb::writeChatUpdates()
{
    for (auto last = m_chatLast.cbegin(); last != m_chatLast.cend(); ++last)
        m_database.updateChatLast(last.key(), last.value());
    for (auto handle = m_lastAddressedHandle.cbegin(); handle != m_lastAddressedHandle.cend(); ++handle)
        m_database.updateChatLastAddressedHandle(handle.key(), handle.value());
    m_chatLast.clear();
    m_lastAddressedHandle.clear();
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
