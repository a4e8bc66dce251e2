#pragma once
// Folders removed without keeping the caller waiting: renamed aside at once, so their name is free
// and nothing lists them, then deleted on a worker thread. Aside means a hidden sibling named
// ".removing-<something>"; one that a crash or a kill left behind goes at the next sweep (a normal exit
// waits for the removal under way).
#include <QDir>
#include <QString>

// Renames folder aside and starts its removal on Qt's global thread pool. False, with nothing
// moved, when the rename fails (a missing folder, no permission).
bool removeFolderAside(const QString& folder);

// Starts the removal of every folder left aside directly below parent.
void sweepFoldersLeftAside(const QDir& parent);
