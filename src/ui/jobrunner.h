#pragma once
// How every command runs a job and picks the messages it works on.
#include "ui/abstreeitemmodel.h"

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

// Where an export goes and in which format, from the name chosen in the save dialog and the position
// of the filter left selected there (Text, Doc, CSV, PDF, HTML). The filter decides the format, not
// the typed suffix: Text and Doc give text, CSV gives CSV, and a name without suffix gains the
// filter's; PDF and HTML give a folder "<base name>-pdf" or "<base name>-html" beside the name.
// format is -1 for a position outside the list.
struct ExportTarget {
    QString path;
    int format = -1;
};
ExportTarget exportTargetFor(const QString& chosenName, int filterPosition);
