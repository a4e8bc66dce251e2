#pragma once
// Merges messages into a message database of the local layout, with copies of their attachment
// files below its "file-relay" folder. Nothing is duplicated: conversations, handles, messages and
// attachments are looked up first (messages by content hash, then guid) and inserted only when
// missing, so exporting the same messages twice adds nothing the second time.
//
// Attachment files are copied only into the database's attachment folders (attachmentAreaPath); a
// device path naming anything else counts as a missing file, its row still written.
//
// begin() opens (or creates) the database and starts one transaction, end() commits and closes.
// rollBack(), or destruction without end(), drops the transaction together with the attachment
// files it copied and the folders made for them; files that were there before stay. Copies left by
// a run killed before its end are removed by the next begin().
#include "export/absformatexport.h"
#include "export/pendingcopies.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"

#include <QDir>
#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

class ExportMessagesDb : public MessageExporter {
public:
    ExportMessagesDb(const QDir& targetDir, const QString& mcc);
    ~ExportMessagesDb() override;
    ExportMessagesDb(const ExportMessagesDb&) = delete;
    ExportMessagesDb& operator=(const ExportMessagesDb&) = delete;

    void begin() override;
    void exportMessage(_MsgMessage* message) override;
    void end() override;
    // Also what destruction without end() does; calling it twice is harmless.
    void rollBack();

    // Messages passed over because their conversation cannot be stored (none, a recovered one, or a
    // service the layout does not know).
    int skippedMessages() const { return m_skipped; }
    IOS6MessageDb& database() { return m_database; }

private:
    bool canStore(const _MsgMessage& message);
    qint64 chatRow(const _MsgChat& chat);
    // Finds or inserts handle and makes sure it is a member of chatRowid.
    qint64 memberHandleRow(qint64 chatRowid, const _MsgHandle& handle);
    qint64 messageRow(const _MsgMessage& message, qint64 chatRowid, qint64 handleRowid);
    void storeAttachment(qint64 messageRowid, const _MsgAttachment& attachment);
    void copyAttachmentFile(const _MsgAttachment& attachment);
    // mkpath that remembers which folders it made.
    void makeFolder(const QString& folder);
    void removeCreated();

    IOS6MessageDb m_database;
    // Look-ups already answered in this transaction.
    QHash<QString, qint64> m_chatRows;                 // guid
    QHash<QPair<QString, QString>, qint64> m_handleRows;  // id, service
    QHash<QPair<qint64, qint64>, bool> m_members;        // chat row, handle row
    int m_skipped = 0;
    // The database's attachment folders, looked at once per run; made on the first copy.
    std::unique_ptr<AttachmentArea> m_attachmentArea;
    // What the open transaction added to the attachment folders, in the order made.
    QStringList m_createdFiles;
    QStringList m_createdFolders;
    PendingCopies m_pendingCopies;  // the files above, listed beside the database until the commit
};
