#include "ui/jobrunner.h"

#include "core/progressform.h"
#include "export/exportmessagesthread.h"
#include "ui/itemmodelmain.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

bool runJob(ProgressForm& form, QThread& job)
{
    job.start(QThread::InheritPriority);
    const int result = form.exec();
    const bool ok = result == QDialog::Accepted && !form.isCancelled();
    job.wait();
    return ok;
}

CommandScope commandScope(bool hasSelection, const AbsTreeItemModel::_ItemNode* current)
{
    if (hasSelection)
        return CommandScope::Selection;
    if (!current)
        return CommandScope::None;
    return current->type == kNodeChatSession ? CommandScope::Chat : CommandScope::All;
}

ExportTarget exportTargetFor(const QString& chosenName)
{
    const QFileInfo info(chosenName);
    const QString suffix = info.suffix().toLower();
    if (suffix == QLatin1String("pdf") || suffix == QLatin1String("html") || suffix == QLatin1String("htm")) {
        const bool pdf = suffix == QLatin1String("pdf");
        const QString folder = info.dir().filePath(info.baseName() + (pdf ? QStringLiteral("-pdf") : QStringLiteral("-html")));
        return {folder, pdf ? ExportMessagesThread::Pdf : ExportMessagesThread::Html};
    }
    if (suffix == QLatin1String("csv"))
        return {chosenName, ExportMessagesThread::Csv};
    return {suffix.isEmpty() ? chosenName + QStringLiteral(".txt") : chosenName, ExportMessagesThread::Text};
}
