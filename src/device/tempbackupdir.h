#pragma once
// The folder that full device backups are made into before their messages are read: one root below
// the data folder, private to the user, remembered in a state file beside it so that clearing the
// cache knows a backup may exist.
//   <data folder>/__varnelquist_iosbk_temp        the root (mode 0700), one backup per device inside
//   <data folder>/__varnelquist_iosbk_temp.path   the state file: the absolute folder holding the root
#include <QDir>
#include <QString>

#include <functional>

// The root, created (0700) when missing; writes the state file. Throws std::runtime_error when the
// root cannot be created or made private (a link, a file, a folder we may not change).
QDir chooseTempBackupDir();

// Deletes the root and the state file. Without a state file nothing was ever backed up there, and
// nothing is touched. The root is always the one below the data folder: the state file's text is
// never used as a path to delete. True when nothing of either is left. stopped ends the removal early
// as it ends removeDirRecursive; the state file then stays with what is left of the root.
bool removeTempBackupDir(const std::function<bool()>& stopped = {});
