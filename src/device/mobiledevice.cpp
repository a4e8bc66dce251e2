#include "device/mobiledevice.h"

#include "core/errors.h"
#include "device/devicebackend.h"
#include "device/devicelibraries.h"

#include <QMetaObject>

namespace MobileDevice {

void subscribeNotifications(DeviceNotifyContext* context)
{
    QString error;
    if (!DeviceLibraries::load(error))
        throwUtf8(error);
    deviceBackend().subscribe(context);
}

void deliverNotification(const DeviceNotifyContext& context, int message, void* device)
{
    const QByteArray* slot = message == kDeviceConnected      ? &context.connectedSlot
                             : message == kDeviceDisconnected ? &context.disconnectedSlot
                                                              : nullptr;
    QObject* target = context.target.data();
    if (!slot || !target)
        return;
    QMetaObject::invokeMethod(target, slot->constData(), Qt::AutoConnection, Q_ARG(void*, device));
}

}  // namespace MobileDevice
