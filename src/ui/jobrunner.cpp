#include "ui/jobrunner.h"

#include "export/exportmessagesthread.h"
#include "ui/itemmodelmain.h"
#include "ui/progressform.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>

namespace {

// After a cancel a job may take a while to wind down (a transaction rolled back, what it made
// removed): the window goes on painting meanwhile, though it takes no input until the job has ended.
void waitPainting(QThread& job)
{
    QEventLoop loop;
    QObject::connect(&job, &QThread::finished, &loop, &QEventLoop::quit);
    if (!job.isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    job.wait();
}

}  // namespace

bool runJob(ProgressForm& form, QThread& job)
{
    job.start(QThread::InheritPriority);
    const int result = form.exec();
    const bool ok = result == QDialog::Accepted && !form.isCancelled();
    waitPainting(job);
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

const QList<ExportFormat>& exportFormats()
{
    static const QList<ExportFormat> formats = {
        {QT_TRANSLATE_NOOP("MainWindow", "Text Files(*.txt)"), ".txt", nullptr, ExportMessagesThread::Text},
        {QT_TRANSLATE_NOOP("MainWindow", "Doc Files(*.doc)"), ".doc", nullptr, ExportMessagesThread::Text},
        {QT_TRANSLATE_NOOP("MainWindow", "CSV Files(*.csv)"), ".csv", nullptr, ExportMessagesThread::Csv},
        {QT_TRANSLATE_NOOP("MainWindow", "PDF Files(*.pdf)"), nullptr, "-pdf", ExportMessagesThread::Pdf},
        {QT_TRANSLATE_NOOP("MainWindow", "HTML Files(*.html)"), nullptr, "-html", ExportMessagesThread::Html},
    };
    return formats;
}

QStringList exportFilters()
{
    QStringList filters;
    for (const ExportFormat& format : exportFormats())
        filters.append(QCoreApplication::translate("MainWindow", format.filter));
    return filters;
}

ExportTarget exportTargetFor(const QString& chosenName, int filterPosition)
{
    if (filterPosition < 0 || filterPosition >= exportFormats().size())
        return {};
    const ExportFormat& format = exportFormats().at(filterPosition);
    const QFileInfo info(chosenName);
    if (format.folderTail)
        return {info.dir().filePath(info.baseName() + QLatin1String(format.folderTail)), format.format};
    return {info.suffix().isEmpty() ? chosenName + QLatin1String(format.suffix) : chosenName, format.format};
}
