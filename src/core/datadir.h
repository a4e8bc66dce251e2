#pragma once
// The per-user data folder that holds every cache, local database, log and state file:
//   <GenericDataLocation>/VarnelQuist/5F2C9A0E7D3B4E6A9C1F08B2D4E6A7C3
// A redirection file in the maker folder may move the maker folder elsewhere.
#include <QDir>
#include <QString>

// <GenericDataLocation>/VarnelQuist (follows XDG_DATA_HOME). Creates nothing.
QString defaultDataRoot();

// The folder named by the redirection file, exactly as stored (UTF-8, up to the first NUL, not
// trimmed), or "" when the file is missing or unreadable or the text is not an absolute path of an
// existing folder.
QString readDataDirRedirect();

// Replaces the redirection file with path (UTF-8, no line break). Creates no folders.
// Returns false when the file could not be written; the old file then stays as it was.
bool writeDataDirRedirect(const QString& path);

// The data folder. Resolved once per process (thread-safe) and created on every call.
QDir dataDir();

// The sub-folders of the data folder that the program uses, each named once here.
enum class DataFolder {
    LocalDatabases,     // "local_databases": one folder per local database
    OldLocalDatabases,  // "data": where old versions kept local databases ("mms.db")
    VirtualDevices,     // "virtual_ios": device folders read like devices
    DeviceCache,        // "ios_cache": files copied from devices, one folder per device
    BackupCache,        // "itunes_cache": files copied from iTunes backups, one folder per backup
    ManifestCache,      // "cache": the parsed manifests of backups
    TempBackups,        // "__varnelquist_iosbk_temp": full backups made by the program
    Logs,               // "qlogs": the daily log files
    Thumbnails,         // "thumbs": attachment thumbnails
    CardImages,         // "cards": contact-card images
};

// The files kept directly in the data folder.
enum class DataFile {
    Countries,          // "countries.db": the writable copy of the country data
    TempBackupsState,   // "__varnelquist_iosbk_temp.path": the data folder the temporary backups belong to
    UpdateCheckTime,    // "last-check-version-time"
    StatusLink,         // "last-adv": the status-bar link last received
};

// The absolute path of a sub-folder or file of the data folder. Creates nothing below the data folder.
QString dataFolderPath(DataFolder folder);
QString dataFilePath(DataFile file);

// The sub-folder, created when missing.
QDir dataFolder(DataFolder folder);

// dataFolder(DataFolder::LocalDatabases).
QDir localDatabasesDir();

// Forgets the resolved data folder so the next dataDir() resolves it again. Tests only.
void resetDataDirCacheForTesting();
