#pragma once
// One iOS device as the program knows it: identity values read from the device (or made up for a
// virtual device folder) and the backend's handle. Copies share the handle, which the backend owns.
//
// Values come from the device and are untrusted: the identifier names a folder only after
// isValidUdid() accepted it.
#include <QDir>
#include <QList>
#include <QString>

class IOSDevice {
public:
    virtual ~IOSDevice() = default;

    QString name;
    QString udid;
    QString countryCode;
    QString productVersion;
    QString productType;
    void* amDevice = nullptr;  // backend handle; null for a virtual device
    // For a virtual device: the folder that mirrors the device (its "file-relay" tree sits inside).
    QString virtualFolder;

    bool isVirtual() const { return !virtualFolder.isEmpty(); }

    // The folder that holds what was read from the device, created when missing: the virtual folder
    // itself for a virtual device, else dataDir()/ios_cache/<udid>. Throws std::runtime_error for an
    // identifier that isValidUdid() refuses.
    QDir cacheDir() const;
    // Throws what cacheDir() throws for an identifier it refuses, and makes no folder.
    void checkUdid() const;

    // The numbers of productVersion: "7.1.2" -> [7, 1, 2], "" -> [].
    QList<int> versionNumbers() const;
    // True when the device's messages are read through its file-relay service: iOS 5, 6 and 7, and a
    // device that reports no version. Others need a device backup.
    bool readsThroughFileRelay() const;
    // True for iOS 10 and later, whose backups have "Manifest.db", which the program does not read; false
    // for a device that reports no version.
    bool backsUpWithManifestDb() const;

    // Whether a backup of the connected device may go ahead: "" when it may, else the rich text that
    // tells the user what to turn off (iCloud backup, checked first, or backup encryption), with a
    // picture. A device that cannot be asked answers "": the backup reports its own failure.
    QString backupSettingsRefusal(bool checkICloud, bool checkEncryption) const;

    // 1 to 64 ASCII letters, digits and hyphens: what real identifiers look like (40 hex digits, or
    // 8 + 16 with a hyphen), and nothing that could leave a folder.
    static bool isValidUdid(const QString& udid);
    // Why udid, which isValidUdid() refused, names no folder: for none at all (the phone's value was no
    // text, or empty), that the phone gave no usable one.
    static QString udidRefusal(const QString& udid);
};
