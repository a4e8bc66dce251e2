#include "ui/commands/guiprompts.h"

#include "backup/backupmanifest.h"
#include "ui/commands/commandcontext.h"
#include "ui/countryselform.h"
#include "ui/interaction.h"
#include "ui/jobrunner.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/localdbselform.h"
#include "ui/messagebox.h"
#include "ui/passcodedlg.h"
#include "ui/progressform.h"

QSharedPointer<BackupManifest> GuiPrompts::chooseBackup()
{
    LoadItunesBackupDlg chooser(m_context.dialogParent());
    if (execDialog(chooser) != QDialog::Accepted)
        return {};
    return chooser.selectedBackup();
}

bool GuiPrompts::unlock(BackupManifest& manifest)
{
    PasscodeDlg passcode(&manifest, m_context.dialogParent());
    return execDialog(passcode) == QDialog::Accepted;
}

QString GuiPrompts::chooseLocalDb(const QStringList& names, const QString& defaultName)
{
    LocalDbSelForm chooser(names, defaultName, m_context.dialogParent());
    return chooser.selectDatabase();
}

std::optional<QString> GuiPrompts::chooseCountry()
{
    CountrySelForm chooser(m_context.dialogParent());
    if (execDialog(chooser) != QDialog::Accepted)
        return std::nullopt;
    return chooser.selectedMcc();
}

bool GuiPrompts::confirm(const QString& text)
{
    return askQuestion(text);
}

void GuiPrompts::inform(const QString& text)
{
    showInfo(text);
}

void GuiPrompts::warn(const QString& text)
{
    showWarning(text);
}

void GuiPrompts::error(const QString& text)
{
    showError(text);
}

std::unique_ptr<ProgressSink> GuiPrompts::progress()
{
    return std::make_unique<ProgressForm>(QString(), m_context.dialogParent());
}

bool GuiPrompts::runJob(ProgressSink& progress, QThread& job)
{
    // progress is a form made by progress() above.
    return ::runJob(static_cast<ProgressForm&>(progress), job);
}
