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
#include "export/attachmentcopier.h"
#include "export/logichashesahead.h"
#include "export/pendingcopies.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/ios6messagemerge.h"

#include <QDir>
#include <QString>
#include <QStringList>

#include <memory>

class ExportMessagesDb : public MessageExporter {
public:
    ExportMessagesDb(const QDir& targetDir, const QString& mcc);
    ~ExportMessagesDb() override;
    ExportMessagesDb(const ExportMessagesDb&) = delete;
    ExportMessagesDb& operator=(const ExportMessagesDb&) = delete;

    // The attachment files may still be on their way: copies wait for them in sources (see
    // core/filehandoff.h), which must outlive the run. Before begin().
    void awaitSources(FileHandoff* sources) { m_sources = sources; }

    void begin() override;
    // The messages about to be exported, in the order they will come: their content hashes are made
    // ahead, beside the writing. After begin().
    void expect(const MsgMessageList& messages);
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
    void removeCreated();

    IOS6MessageDb m_database;
    Ios6MessageMerge m_merge;
    int m_skipped = 0;
    FileHandoff* m_sources = nullptr;  // not owned
    PendingCopies m_pendingCopies;  // the run's copies, listed beside the database until the commit
    // The run's attachment copies, made beside the rows; what they added goes again on a rollback.
    std::unique_ptr<AttachmentCopier> m_copier;
    std::unique_ptr<LogicHashesAhead> m_hashesAhead;  // of the run, when expected
};
