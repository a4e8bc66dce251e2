#pragma once
// A client of the device's synchronisation service "com.apple.mobilesync" for one data class: start,
// fetch all records, send changes, clear, finish; and the switch of tethered sync in the device value
// domain "com.apple.mobile.tethered_sync". Messages are DeviceLink arrays named "SD..." sent as XML;
// every call blocks (60 s per send and receive, an hour for the answer to the finish), throws
// std::runtime_error with a UTF-8 text and leaves the socket to its caller.
#include "device/cftype.h"

#include <QList>
#include <QString>

struct SyncAnchors {
    SyncAnchors(const QString& dataClass, const QString& deviceAnchor, const QString& computerAnchor)
        : dataClass(dataClass), deviceAnchor(deviceAnchor), computerAnchor(computerAnchor)
    {
    }

    QString dataClass;
    QString deviceAnchor;
    QString computerAnchor;
};

// Starts the service (storing its socket also when a later step fails), runs the DeviceLink handshake
// and opens the sync of anchors.dataClass; throws "invalid feedback after send
// SDMessageSyncDataClassWithDevice.\n..." unless the device answers
// "SDMessageSyncDataClassWithComputer". With ping, a "DLMessagePing" follows, unanswered.
void mobiledevice_sync_start(void* device, const SyncAnchors& anchors, int& socket, bool ping);

// Every record dictionary the device sends, one per "SDMessageProcessChanges" whose element 2 is a
// dictionary, in arrival order; each of those messages is acknowledged, and
// "SDMessageDeviceReadyToReceiveChanges" ends the list.
QList<CFType> mobiledevice_sync_get_all_records(int socket, const QString& dataClass);

// Sends the entities and actions (dictionaries) in one message; a copy of element 2 of the device's
// "SDMessageRemapRecordIdentifiers".
CFType mobiledevice_sync_process_changes(int socket, const CFType& entities, const QString& dataClass,
                                         const CFType& actions);

// Asks the device to clear the class; it must answer "SDMessageDeviceWillClearAllRecords".
void mobiledevice_sync_clear_all_records(int socket, const QString& dataClass);

// Ends the sync; any answer that arrives whole will do.
void mobiledevice_sync_finish(int socket, const QString& dataClass);

// Writes {"DisableTethered": disabled} for dataClass; the library's result, 0 on success. Throws only
// when no session opens.
int mobiledevice_sync_set_tethered_disabled(void* device, const QString& dataClass, bool disabled);
