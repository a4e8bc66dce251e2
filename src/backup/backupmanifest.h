#pragma once
// One backup folder: its device description from "Manifest.plist" and the tree of its files from
// "Manifest.mbdb", with an index of well-known files.
//
// Clients call loadManifestPlist, then (encrypted backups) unlock, then loadMbdb, then copy files.
// Hold a manifest on the stack or in a smart pointer: it owns a whole file tree.
#include "backup/backupfilenode.h"
#include "backup/backupkeybag.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <functional>
#include <stdexcept>

// Apple's backup folder: <GenericDataLocation>/Apple Computer/MobileSync/Backup. Not tested for
// existence; a missing folder simply lists no backups.
QDir iTunesBackupRoot();

struct BackupDeviceInfo {
    QString uniqueDeviceId;
    QString deviceName;
    QDateTime date;  // invalid when the manifest has none
    QString productType;
    QString productVersion;
    QString serialNumber;
    bool isEncrypted = false;
    QByteArray keyBagData;  // raw keybag, parsed only when unlocking

    bool operator==(const BackupDeviceInfo& other) const;
};

// The device information of a "Manifest.plist" held in memory (binary or XML). Missing keys, values
// of another type and bytes that are no property list give empty values, never an error.
BackupDeviceInfo parseManifestPlist(const QByteArray& data);

// The name a backup is listed under: the folder name with the device id replaced by the device
// name when the folder name holds the id (case-sensitive), else "<device name>-<folder name>".
// An empty id counts as not held; an empty device name leaves just the folder name.
QString backupDisplayName(const QString& folderName, const BackupDeviceInfo& info);

// One file of a backup that cannot be copied for a reason of its own: its stored file is missing,
// no regular file (a link, a folder, a pipe), cut short or undecryptable, or (raised by callers) its
// name cannot be made in the destination. A caller copying many files may skip it; any other error
// (the destination cannot be written: a full disk) is a plain std::runtime_error. The text, UTF-8,
// names the file by domain and path.
class BackupFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "<domain>-<path> (<file id>)": how errors and logs name a backed-up file.
QString backupFileLabel(const MbdbRecord& record);

// Called after every chunk copied out of a backup: (bytes of the stored file, bytes read so far,
// the caller's argument).
using BackupCopyProgress = std::function<void(qint64 total, qint64 done, int arg)>;

class BackupManifest : public QObject {
    Q_OBJECT
public:
    explicit BackupManifest(const QDir& backupDir);
    ~BackupManifest() override;

    // Reads "Manifest.plist" into deviceInfo and displayName. Throws std::runtime_error("Cannot find
    // <path>") when it is missing, or with the file's error text when it cannot be read.
    void loadManifestPlist();

    // Builds the file tree below root and the index from "Manifest.mbdb", once per manifest. Errors
    // of the reader pass to the caller and leave the tree empty; a backup of iOS 10 or later throws
    // the text of kNewerBackupFormatText. A backup may list a hundred thousand files, some seconds of
    // work: cancelled is asked now and then, and when it answers true the tree is left empty and the
    // plain int -1 thrown, as a job stops on a cancel.
    void loadMbdb(const std::function<bool()>& cancelled = {});

    // True when folder holds the index that iOS 10 and later write ("Manifest.db") and no
    // "Manifest.mbdb": a backup this program cannot read.
    static bool isNewerFormat(const QDir& folder);
    static const char kNewerBackupFormatText[];

    // Lower-case hex MD5 of the folder's absolute path: names the backup's cache folder.
    QString cacheId() const;

    // Tries password on the keybag of deviceInfo. Every attempt starts from the stored keybag; only
    // a successful one leaves class keys in keyBag.
    bool unlock(const QString& password);

    // Copies the backed-up file of node to destPath, decrypting it in an encrypted backup, with the
    // record's mtime as the file's access and modification times. The copy is written under a
    // temporary name (readable by its owner only) and renamed into place, so a failed copy leaves
    // destPath as it was, and a link at destPath is replaced, never written through.
    //
    // The stored file is opened only when its own entry is a regular file (the backup folder may be
    // reached through links). In an encrypted backup a record without an encryption key is copied as
    // stored. Throws BackupFileError, naming the file, when the stored file is missing or no regular
    // file, cannot be read, ends before its size, or cannot be decrypted (backup not unlocked,
    // wrapped key not 44 bytes, class without key, key failing its check, stored size not whole
    // cipher blocks, bad padding); throws std::runtime_error with the system's reason when the copy
    // cannot be written. A decrypted content shorter or longer than the record's size is copied up
    // to that size with a warning.
    void copyFile(const BackupFileNode& node, const QString& destPath, int progressArg = 0,
                  const BackupCopyProgress& progress = BackupCopyProgress());

    BackupDeviceInfo deviceInfo;
    QString displayName;
    QDir backupDir;
    BackupFileNode root;
    // Records loadMbdb left out of the tree because their paths hold "", "." or ".." components: no
    // local path can be made of them. Kept so that the jobs can tell the user of the files lost.
    QList<MbdbRecord> unsafeRecords;
    BackupKeyBag keyBag;  // parsed by unlock; holds class keys after a successful one

    // Index of well-known files: pointers into the tree, owning nothing. Pointers keep the first
    // node found; map entries the last.
    QList<BackupFileNode*> cameraRollPhotos;
    QList<BackupFileNode*> cameraRollVideos;
    QMap<QString, BackupFileNode*> photoThumbnails;
    QMap<QString, BackupFileNode*> smsParts;
    QMap<QString, BackupFileNode*> smsAttachments;
    QMap<QString, BackupFileNode*> smsFilesByDevicePath;
    BackupFileNode* smsDb = nullptr;
    BackupFileNode* addressBookDb = nullptr;
    BackupFileNode* addressBookImagesDb = nullptr;
    BackupFileNode* notesDb = nullptr;
    BackupFileNode* calendarDb = nullptr;
    BackupFileNode* calendarExtrasDb = nullptr;
    BackupFileNode* recordingsDb = nullptr;
    BackupFileNode* voicemailDb = nullptr;
    BackupFileNode* safariBookmarksDb = nullptr;
    BackupFileNode* callHistoryDb = nullptr;
    BackupFileNode* callHistoryStore = nullptr;
    QMap<QString, BackupFileNode*> voiceMemos;
    QMap<int, BackupFileNode*> voicemails;

private:
    // Empties the tree and every index into it.
    void clearTree();
};
