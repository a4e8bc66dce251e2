#pragma once
// The sequences that talk to a connected phone: reading its messages (through its file relay, or
// through a backup of it on phones that have none) and writing messages onto it through its backup.
// What the device's nodes hold is the caller's.
#include "device/iosdevice.h"
#include "msgdb/records.h"

#include <QCoreApplication>
#include <QDir>
#include <QString>

#include <functional>
#include <optional>

class FlowPrompts;

// The one sentence that tells the user a phone went away during a reading (unplugged, or it stopped
// answering): it is to be plugged in again. The session layer gives it too.
QString deviceDisconnectedText();

// Whether a backup of device may go ahead; when it may not, the user has been shown what to turn off.
bool checkBackupSettings(FlowPrompts& prompts, const IOSDevice& device, bool checkICloud, bool checkEncryption);

// Backs device up under a progress display: the backup root, or nullopt when that did not succeed.
std::optional<QDir> backUpDevice(FlowPrompts& prompts, const IOSDevice& device);

class DeviceReading {
public:
    // releaseFiles(udid) closes whatever holds the device's cached files, which the reading replaces.
    DeviceReading(FlowPrompts& prompts, std::function<void(const QString& udid)> releaseFiles)
        : m_prompts(prompts), m_releaseFiles(std::move(releaseFiles)) {}

    // Reads the device behind handle: its identity, its country (asking the user when the device
    // does not say), its message database copied into its cache folder. nullopt when a step ended
    // the reading (the user was told); what fails is thrown.
    std::optional<IOSDevice> read(void* handle);

private:
    void settleCountryCode(IOSDevice& device);
    // Copies the device's message database into its cache folder: true once it is there.
    bool copyMessageDb(const IOSDevice& device);
    bool copyThroughBackup(const IOSDevice& device);

    FlowPrompts& m_prompts;
    std::function<void(const QString& udid)> m_releaseFiles;
};

// Writing messages back: merged into an iTunes backup, or onto a device through its backup.
class WriteBack {
    // The texts are the window's: the catalogue keeps them under its context.
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
public:
    explicit WriteBack(FlowPrompts& prompts) : m_prompts(prompts) {}

    // Merges messages into an unencrypted iTunes backup the user chooses. Whatever fails is shown.
    void intoBackup(const MsgMessageList& messages);
    // Writes messages onto device, an iOS 6 (or later) one: its backup, the messages merged into it,
    // the backup restored to the device, once the user agreed. Whatever fails after the backup is shown.
    void ontoDevice(const IOSDevice& device, const MsgMessageList& messages);

    // What the user is told after a merge that wrote merged messages and left skipped out.
    static QString restoreResultText(int merged, int skipped);

private:
    struct Merge {
        int merged = 0;
        int skipped = 0;
    };
    // Merges messages into the cached message database of the backup in backupDir and writes it back.
    std::optional<Merge> merge(const QString& mcc, const MsgMessageList& messages, const QDir& cacheDir,
                               const QDir& backupDir);

    FlowPrompts& m_prompts;
};
