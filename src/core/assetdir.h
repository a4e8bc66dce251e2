#pragma once
// Files delivered beside the program rather than among the resources ("bubble/", "emoji/"): found
// next to the executable (the build tree, a portable copy), else in <prefix>/share/tallowmere,
// where an installed program in <prefix>/bin keeps them.
#include <QString>

// The folder that holds the asset folder name: the executable's folder when name is there, else
// <prefix>/share/tallowmere when it is there, else the executable's folder. No trailing slash.
QString assetRoot(const QString& name = QStringLiteral("bubble"));

// The absolute path of the asset name ("bubble", "emoji/E415.png", ...) below assetRoot(name's first
// component). The path may not exist.
QString assetPath(const QString& name);

// The absolute path of a library delivered with the program (the device libraries): beside the
// executable when it is there, else below <prefix>/lib/tallowmere, where it may be missing.
QString programLibraryPath(const QString& fileName);
// The file named by the environment variable overrideVariable when that is set (made absolute), else
// programLibraryPath(fileName): how the device libraries and the backup tool are found.
QString programLibraryPath(const QString& fileName, const char* overrideVariable);
