#pragma once
// The commands on messages: export, attachment extraction, delete and print, each on the messages its
// scope request resolves to.
#include "ui/commands/messagescope.h"

#include <QCoreApplication>

class _AbsDBItemNode;
class CommandContext;
class FolderCommands;

class MessageCommands {
    // The texts are the window's: the catalogue keeps them under its context.
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
public:
    // Deleting a whole local database is folders' work.
    MessageCommands(CommandContext& context, FolderCommands& folders);

    void runExport(ScopeRequest request);
    void runExtractMedia(ScopeRequest request);
    // Deletes from local databases only, never from a device's copy of its messages; the All scope
    // deletes the local database itself.
    void runDelete(ScopeRequest request);
    void runPrint(ScopeRequest request);

private:
    // A copy of the store of the current node's database. The records a job or the print preview
    // works on belong to it; a copy keeps them alive even if the node goes meanwhile (a device
    // removal is delivered inside a dialog's loop).
    _MsgStore currentStore() const;
    void exportMessages(MsgMessageList messages);
    void printMessages(MsgMessageList messages);
    void extractMedia(MsgMessageList messages);
    void deleteSelected();
    void deleteChat();
    // Deletes messages of dbNode in a job; true when it succeeded (the records are then removed).
    bool deleteMessages(_AbsDBItemNode* dbNode, const MsgMessageList& messages);

    CommandContext& m_context;
    FolderCommands& m_folders;
    MessageScope m_scope;
};
