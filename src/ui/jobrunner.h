#pragma once
// How every command runs a job and picks the messages it works on.
#include "core/abstreeitemmodel.h"

#include <QString>

class ProgressForm;
class QThread;

// Starts job, runs form's modal loop, then waits for the job's thread without a time limit (after a
// cancel the job stops at its next check of the flag). True only when the job reported success and
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

// Where an export goes and in which format, from the name chosen in the save dialog: ".csv" gives
// CSV, ".pdf" and ".html" a folder "<name>-pdf" or "<name>-html" beside it, anything else text (a name
// without suffix gains ".txt").
struct ExportTarget {
    QString path;
    int format = 0;
};
ExportTarget exportTargetFor(const QString& chosenName);
