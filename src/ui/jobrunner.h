#pragma once
// How every command runs a job and picks the messages it works on, and where an export goes.
#include "ui/abstreeitemmodel.h"

#include <QList>
#include <QString>
#include <QStringList>

class ProgressForm;
class QThread;

// Starts job, runs form's modal loop, then waits for the job's thread without a time limit (after a
// cancel the job stops at its next check of the flag), the window painting but taking no input. True only when the job reported success and
// the form was not cancelled. The caller destroys the job before the form and refreshes only on true.
bool runJob(ProgressForm& form, QThread& job);

// Which messages a command family works on.
enum class CommandScope {
    None,       // nothing to do
    Selection,  // the rows selected in the message list
    Chat,       // the conversation the list shows
    All,        // every message of the database node
};

// A selection wins; else nothing without a current node; else a conversation node gives Chat and any
// other node All.
CommandScope commandScope(bool hasSelection, const AbsTreeItemModel::_ItemNode* current);

// The formats the export's save dialog offers, in the order of its filters (Text, Doc, CSV, PDF,
// HTML). The filter decides the format, not the typed suffix: a file format's name without suffix
// gains the filter's; a page format writes a folder "<base name><folder tail>" beside the name.
struct ExportFormat {
    const char* filter;      // the dialog's filter text, translated under the window's context
    const char* suffix;      // a file format's suffix, or null
    const char* folderTail;  // a page format's folder tail, or null
    int format;              // ExportMessagesThread::Format
};
const QList<ExportFormat>& exportFormats();
// The translated filters of exportFormats, in their order.
QStringList exportFilters();

// Where an export goes and in which format, from the name chosen in the save dialog and the position
// of the filter left selected there. format is -1 for a position outside the list.
struct ExportTarget {
    QString path;
    int format = -1;
};
ExportTarget exportTargetFor(const QString& chosenName, int filterPosition);
