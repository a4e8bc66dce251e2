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
}

void ExportMessagesDb::end()
{
    m_database.endTransaction(true);
    m_database.close();
    m_pendingCopies.clear();
    // Committed: the copies belong to the database now.
    m_createdFiles.clear();
    m_createdFolders.clear();
    m_attachmentArea.reset();
}

void ExportMessagesDb::rollBack()
{
    // close() drops an open transaction without committing it.
    m_database.close();
    removeCreated();
    m_pendingCopies.clear();
    m_attachmentArea.reset();
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
        m_database.updateChatLastAddressedHandle(chatRowid, message->handle->id);
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
    qint64 row = logicHash.isEmpty() ? 0 : m_database.messageRowidByLogicHash(logicHash);
    if (row == 0)
        row = m_database.messageRowidByGuid(message.guid);
    if (row != 0)
        return row;
    const qint64 otherRowid = message.otherHandle ? memberHandleRow(chatRowid, *message.otherHandle) : 0;
    row = m_database.insertMessage(message, handleRowid, otherRowid, logicHash);
    m_database.replaceChatMessageJoin(chatRowid, row);
    m_database.updateChatLast(chatRowid, message.date);
    return row;
}

void ExportMessagesDb::storeAttachment(qint64 messageRowid, const _MsgAttachment& attachment)
{
    copyAttachmentFile(attachment);
    qint64 row = m_database.attachmentRowidByGuid(attachment);
    if (row == 0)
        row = m_database.insertAttachment(attachment);
    m_database.replaceMessageAttachmentJoin(messageRowid, row);
}

void ExportMessagesDb::copyAttachmentFile(const _MsgAttachment& attachment)
{
    const QString source = attachment.localPath.path();
    if (source.isEmpty() || !QFileInfo(source).isFile())
        return;
    if (!m_attachmentArea)
        m_attachmentArea = std::make_unique<AttachmentArea>(m_database.fileRelayDir());
    const QString destination = m_attachmentArea->path(attachment.filename);
    if (destination.isEmpty()) {
        qWarning().noquote() << "local database: attachment" << attachment.filename
                             << "not copied: it does not lead into the attachment folders";
        return;
    }
    const QFileInfo target(destination);
    if (target.exists() || target.isSymLink())
        return;
    makeFolder(target.absolutePath());
    m_pendingCopies.note(attachment.filename);
    // Without the sync to disk QFile::copy makes for every file: a copy writes thousands of them.
    if (!copyToNewFile(source, destination))
        throwUtf8(QStringLiteral("Cannot copy %1 to %2").arg(source, destination));
    m_createdFiles.append(destination);
}

void ExportMessagesDb::makeFolder(const QString& folder)
{
    QStringList missing;
    for (QFileInfo info(folder); !info.exists() && !info.isSymLink(); info.setFile(info.absolutePath()))
        missing.prepend(info.absoluteFilePath());
    // Recorded first: a mkpath that fails halfway may still have made some of them.
    m_createdFolders += missing;
    if (!makePrivatePath(folder))
        throwUtf8(QStringLiteral("Cannot create the folder %1").arg(folder));
}

void ExportMessagesDb::removeCreated()
{
    for (auto file = m_createdFiles.crbegin(); file != m_createdFiles.crend(); ++file) {
        if (!QFile::remove(*file))
            qWarning().noquote() << "local database: cannot remove the copied attachment" << *file;
    }
    // Deepest first; rmdir keeps a folder that gained files from anyone else.
    for (auto folder = m_createdFolders.crbegin(); folder != m_createdFolders.crend(); ++folder)
        QDir().rmdir(*folder);
    m_createdFiles.clear();
    m_createdFolders.clear();
}
