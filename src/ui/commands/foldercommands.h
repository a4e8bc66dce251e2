#pragma once
// Commands of the data folder: deleting a local database, the database folder and the cache (the one
// with a job), and the web host's pages.
#include "ui/commands/guiprompts.h"

#include <QCoreApplication>

class CommandContext;

class FolderCommands {
    // The texts are the window's: the catalogue keeps them under its context.
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
public:
    explicit FolderCommands(CommandContext& context) : m_context(context), m_prompts(context) {}

    // Deletes the current local database, node and folder, after the user's confirmation.
    void deleteLocalDb();
    void openDbFolder();
    // Shows the cache folder of the current device.
    void viewCache();
    // Deletes the copies made from devices and backups, and the program's temporary backups, under the
    // progress display; a cancel keeps what was removed removed and reports nothing.
    void clearCache();
    // Pages of the web host; nothing happens without one (their menu entries are disabled then).
    void openHelp();
    void openFeedback();
    void openHome();

private:
    CommandContext& m_context;
    GuiPrompts m_prompts;
};
