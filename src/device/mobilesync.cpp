#include "device/mobilesync.h"

#include "core/errors.h"
#include "device/devicelink.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"

namespace {

using DeviceLink::kTimeoutMs;

// The device may work long on a finished sync before it answers.
constexpr int kFinishTimeoutMs = 3600000;
// The version of the sync protocol the start names.
constexpr qint32 kSyncProtocolVersion = 106;

CFType named(const char* name)
{
    return CFType(QString::fromLatin1(name));
}

CFType send(int socket, const CFType& message)
{
    mobiledevice_sendmsg(socket, message, false, kTimeoutMs);
    return message;
}

}  // namespace

void mobiledevice_sync_start(void* device, const SyncAnchors& anchors, int& socket, bool ping)
{
    socket = MobileDevice::startService(device, QStringLiteral("com.apple.mobilesync"));
    mobiledevice_link_sc_version_exchange(socket);
    DeviceLink::sendExpecting(socket,
                              DeviceLink::message({named("SDMessageSyncDataClassWithDevice"), CFType(anchors.dataClass),
                                                   CFType(anchors.deviceAnchor), CFType(anchors.computerAnchor),
                                                   CFType(kSyncProtocolVersion)}),
                              QStringLiteral("SDMessageSyncDataClassWithComputer"));
    if (ping)
        send(socket, DeviceLink::message({named("DLMessagePing"), named("Preparing to get changes for device")}));
}

QList<CFType> mobiledevice_sync_get_all_records(int socket, const QString& dataClass)
{
    const CFType request = send(socket, DeviceLink::message({named("SDMessageGetAllRecordsFromDevice"), CFType(dataClass)}));
    QList<CFType> records;
    for (;;) {
        const CFType received = mobiledevice_recmsg(socket, request, kTimeoutMs);
        const QString name = DeviceLink::nameOf(received);
        if (name == QLatin1String("SDMessageDeviceReadyToReceiveChanges"))
            return records;
        if (name != QLatin1String("SDMessageProcessChanges"))
            throwUtf8(QStringLiteral("invalid feedback after send SDMessageGetAllRecordsFromDevice.\n")
                      + DeviceLink::xmlOf(received));
        const CFType batch = received.valueAt(2);
        if (batch.isDictionary())
            records.append(batch.clone());
        send(socket, DeviceLink::message({named("SDMessageAcknowledgeChangesFromDevice"), CFType(dataClass)}));
    }
}

CFType mobiledevice_sync_process_changes(int socket, const CFType& entities, const QString& dataClass,
                                         const CFType& actions)
{
    const CFType answer = DeviceLink::sendExpecting(
        socket,
        DeviceLink::message({named("SDMessageProcessChanges"), CFType(dataClass), entities, CFType(false), actions}),
        QStringLiteral("SDMessageRemapRecordIdentifiers"));
    return answer.valueAt(2).clone();
}

void mobiledevice_sync_clear_all_records(int socket, const QString& dataClass)
{
    DeviceLink::sendExpecting(socket,
                              DeviceLink::message({named("SDMessageClearAllRecordsOnDevice"), CFType(dataClass),
                                                   CFType(DeviceLink::kEmptyParameter)}),
                              QStringLiteral("SDMessageDeviceWillClearAllRecords"));
}

void mobiledevice_sync_finish(int socket, const QString& dataClass)
{
    const CFType request = send(socket, DeviceLink::message({named("SDMessageFinishSessionOnDevice"), CFType(dataClass)}));
    mobiledevice_recmsg(socket, request, kFinishTimeoutMs);
}

int mobiledevice_sync_set_tethered_disabled(void* device, const QString& dataClass, bool disabled)
{
    CFType value = CFType::dictionary();
    value.setValue(named("DisableTethered"), CFType(disabled));
    return MobileDevice::setValue(device, QStringLiteral("com.apple.mobile.tethered_sync"), dataClass, value);
}
