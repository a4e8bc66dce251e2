#pragma once
// The program's layer over the MobileDevice library: arrival and removal notifications, and sessions
// with a connected device to read values, start services and write a value. Every operation opens its
// own session and closes it before it returns, also when it throws. Values come from the device and are
// untrusted.
#include "device/cftype.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <stdexcept>

struct TMDeviceNotificationInfo;

// Where notifications go: the target's slots, invoked by name with the device handle as void*, with
// Qt's automatic connection, so they run in the target's thread.
struct DeviceNotifyContext {
    QPointer<QObject> target;
    QByteArray connectedSlot;     // "iosDeviceConnected": slot(void*)
    QByteArray disconnectedSlot;  // "iosDeviceDisconnected": slot(void*)
};

namespace MobileDevice {

// Message codes of a notification.
constexpr int kDeviceConnected = 1;
constexpr int kDeviceDisconnected = 2;

// Loads the device libraries first when needed (std::runtime_error with their text on failure), then
// subscribes context, which must outlive the process's use of the library; returns the library's result.
int subscribeNotifications(DeviceNotifyContext* context);

// The subscription's callback, on the library's thread: info's device reaches the context's slot.
void onDeviceNotification(const TMDeviceNotificationInfo* info, void* context);

// kDeviceConnected or kDeviceDisconnected invokes the matching slot with device; any other message, or a
// context whose target is gone, does nothing. Any thread.
void deliverNotification(const DeviceNotifyContext& context, int message, void* device);

// What the user is told when a phone went away during a call: it only needs plugging in again.
QString disconnectedText();
// What the user is told when a pairing succeeded but usbmuxd did not keep its record, so the session that
// needs it cannot start: neither restarting nor "Trust" helps.
QString pairingNotKeptText();

// Connects, pairs when not paired, validates the pairing and starts a session: 0 when a session is open,
// else the failing call's code with error set to the text for the user. A phone that no longer knows
// the pair record is paired once more and the session opened again. Never throws.
int openSession(void* device, QString& error);
void closeSession(void* device);

// A read of a value that failed: the device went away or stopped answering. A value the device has not
// got is no failure. The text names the call and the library's code.
class ValueReadError : public std::runtime_error {
public:
    explicit ValueReadError(int32_t code);
    int32_t code() const { return m_code; }

private:
    int32_t m_code;
};

// One value per key, in order (null where the device has none). An empty key reads the whole domain as
// a dictionary; an empty domain the device's own values. Throws ValueReadError when a read fails, and
// HtmlError (core/errors.h), a std::runtime_error with a rich text for the user, when no session opens;
// so do the operations below.
QList<CFType> copyValues(void* device, const QStringList& keys, const QString& domain);

// The socket of the started service, which stays usable after the session ends. Throws
// std::runtime_error when no session opens or the service does not start.
int startService(void* device, const QString& name);

// Throws std::runtime_error when no session opens.
QString copyDeviceIdentifier(void* device);
// The library's result. Throws std::runtime_error when no session opens.
int setValue(void* device, const QString& domain, const QString& key, const CFType& value);

}  // namespace MobileDevice
