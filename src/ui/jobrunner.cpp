#include "ui/jobrunner.h"

#include "export/exportmessagesthread.h"
#include "ui/itemmodelmain.h"
#include "ui/progressform.h"

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

ExportTarget exportTargetFor(const QString& chosenName, int filterPosition)
{
    const QFileInfo info(chosenName);
    const auto withSuffix = [&](const char* suffix) {
        return info.suffix().isEmpty() ? chosenName + QLatin1String(suffix) : chosenName;
    };
    const auto pageFolder = [&](const char* tail) { return info.dir().filePath(info.baseName() + QLatin1String(tail)); };
    switch (filterPosition) {
    case 0:
        return {withSuffix(".txt"), ExportMessagesThread::Text};
    case 1:
        return {withSuffix(".doc"), ExportMessagesThread::Text};
    case 2:
        return {withSuffix(".csv"), ExportMessagesThread::Csv};
    case 3:
        return {pageFolder("-pdf"), ExportMessagesThread::Pdf};
    case 4:
        return {pageFolder("-html"), ExportMessagesThread::Html};
    default:
        return {};
    }
}
