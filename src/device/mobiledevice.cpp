#include "device/mobiledevice.h"

#include "core/errors.h"
#include "core/htmltext.h"
#include "device/devicelibraries.h"
#include "devicelibs/mobiledeviceapi.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <unistd.h>

#include <string>

using DeviceLibraries::mobileDeviceFunction;

namespace {

constexpr char kTrustHint[] = "Please restart your iPhone and computer to try again. If a prompt message pops out "
                              "on your iPhone, please click \"Trust\".";
constexpr char kWifiSyncHint[] = "Please turn off Wifi Sync on iTunes to try again.<br/>To do this:  Launch iTunes "
                                 "-&gt; Connect your device -&gt; Go Summary -&gt; Options -&gt; Uncheck Sync with "
                                 "this device over Wi-Fi.<br/><br/>";

// What a call of a function the library has not got (it is not loaded) gives.
constexpr int32_t kNotLoaded = -1;

template <class F, class... Args>
int32_t call(const char* name, Args... args)
{
    auto* function = mobileDeviceFunction<F>(name);
    return function ? function(args...) : kNotLoaded;
}

CFStringRef stringRef(const CFType& value)
{
    return static_cast<CFStringRef>(value.ref());
}

// A pairing the phone still asks about (Trust not yet tapped), also one renewed after the phone forgot
// the old one, is settled only by the next arrival of the phone; nothing else tells the program to try
// again.
constexpr char kReplugHint[] = "<br/><br/>After tapping \"Trust\" on the iPhone, unplug and plug in the phone again.";

// Restarting or tapping "Trust" does not help a phone that is gone: it only needs plugging in again.
bool phoneWentAway(int32_t code)
{
    return code == kAMErrorConnectionLost || code == kAMErrorConnectFailed || code == kAMErrorNoDevice;
}

QString sessionError(const char* call, int32_t code, bool pairingNotKept)
{
    const QString failed = QLatin1String(call) + QLatin1Char('(') + QString::number(code) + QLatin1Char(')');
    if (phoneWentAway(code) || pairingNotKept) {
        const QString text = pairingNotKept ? MobileDevice::pairingNotKeptText() : MobileDevice::disconnectedText();
        return QStringLiteral("%1<br/><br/>Error code: %2").arg(text, failed);
    }
    const bool pairing = qstrcmp(call, "AMDeviceConnect") != 0;
    return QStringLiteral("%1<br/><br/>Error code: %2%3")
        .arg(QLatin1String(kTrustHint), failed, QLatin1String(pairing ? kReplugHint : ""));
}

// The call of a session's opening that failed, with its code; no call when the session is open.
struct SessionFailure {
    const char* call = nullptr;
    int32_t code = 0;
    bool pairedOnTheWay = false;  // the opening paired the phone, and that succeeded
};

// Connects, pairs when the library holds no pair record (or always, with pairAnyway), validates the
// pairing and starts the session.
SessionFailure tryOpenSession(void* device, bool pairAnyway)
{
    if (const int32_t code = call<decltype(AMDeviceConnect)>("AMDeviceConnect", device))
        return {"AMDeviceConnect", code};
    bool paired = false;
    if (pairAnyway || call<decltype(AMDeviceIsPaired)>("AMDeviceIsPaired", device) == 0) {
        if (const int32_t code = call<decltype(AMDevicePair)>("AMDevicePair", device))
            return {"AMDevicePair", code};
        paired = true;
    }
    if (const int32_t code = call<decltype(AMDeviceValidatePairing)>("AMDeviceValidatePairing", device))
        return {"AMDeviceValidatePairing", code, paired};
    if (const int32_t code = call<decltype(AMDeviceStartSession)>("AMDeviceStartSession", device)) {
        call<decltype(AMDeviceDisconnect)>("AMDeviceDisconnect", device);
        return {"AMDeviceStartSession", code, paired};
    }
    return {};
}

// A session that failed after a pairing of its own succeeded, while the library still holds no pair
// record: usbmuxd could not save it or cannot read it, so pairing again or "Trust" cannot help.
bool pairingNotKept(void* device, const SessionFailure& failure)
{
    return failure.pairedOnTheWay && !phoneWentAway(failure.code)
           && call<decltype(AMDeviceIsPaired)>("AMDeviceIsPaired", device) == 0;
}

// An open session for the scope: closed on every way out, also when the work inside throws.
class Session {
public:
    explicit Session(void* device) : m_device(device)
    {
        QString error;
        if (MobileDevice::openSession(device, error) != 0)
            throwHtml(error);
    }
    ~Session() { MobileDevice::closeSession(m_device); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

private:
    void* m_device;
};

}  // namespace

namespace MobileDevice {

int subscribeNotifications(DeviceNotifyContext* context)
{
    QString error;
    if (!DeviceLibraries::isLoaded() && !DeviceLibraries::load(error))
        throwUtf8(error);
    void* notification = nullptr;  // never unsubscribed
    return call<decltype(AMDeviceNotificationSubscribe)>("AMDeviceNotificationSubscribe", &onDeviceNotification, 0u,
                                                         0u, static_cast<void*>(context), &notification);
}

void onDeviceNotification(const TMDeviceNotificationInfo* info, void* context)
{
    if (info && context)
        deliverNotification(*static_cast<const DeviceNotifyContext*>(context), int(info->msg), info->device);
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

QString disconnectedText()
{
    return QStringLiteral("The iPhone was disconnected or stopped answering. Please unplug it and plug it in again.");
}

QString pairingNotKeptText()
{
    return QCoreApplication::translate(
        "MobileDevice", "This computer could not keep its pairing with the iPhone: usbmuxd could not save or read "
                        "the pair record (usbmuxd keeps them in /var/lib/lockdown). Please check that folder, then "
                        "unplug the phone and plug it in again.");
}

int openSession(void* device, QString& error)
{
    error.clear();
    SessionFailure failure = tryOpenSession(device, false);
    if (failure.code == kAMErrorInvalidHostID && qstrcmp(failure.call, "AMDevicePair") != 0) {
        // The phone no longer knows the pair record (it was reset, or its trust in this computer was
        // revoked): pairing once more asks "Trust" on the phone again and replaces the record.
        if (qstrcmp(failure.call, "AMDeviceValidatePairing") == 0)
            call<decltype(AMDeviceDisconnect)>("AMDeviceDisconnect", device);
        failure = tryOpenSession(device, true);
    }
    if (failure.code != 0)
        error = sessionError(failure.call, failure.code, pairingNotKept(device, failure));
    return int(failure.code);
}

void closeSession(void* device)
{
    call<decltype(AMDeviceStopSession)>("AMDeviceStopSession", device);
    call<decltype(AMDeviceDisconnect)>("AMDeviceDisconnect", device);
}

ValueReadError::ValueReadError(int32_t code)
    : std::runtime_error("AMDeviceReadValue(" + std::to_string(code) + ")"), m_code(code)
{
}

QList<CFType> copyValues(void* device, const QStringList& keys, const QString& domain)
{
    const Session session(device);
    // A library without the checked read can only give null for a failed read, as for a missing value.
    auto* read = mobileDeviceFunction<decltype(AMDeviceReadValue)>("AMDeviceReadValue");
    auto* copy = mobileDeviceFunction<decltype(AMDeviceCopyValue)>("AMDeviceCopyValue");
    QList<CFType> values;
    for (const QString& key : keys) {
        // Null, not an empty string, asks for a whole domain or the device's own values.
        const CFType domainName = domain.isEmpty() ? CFType() : CFType(domain);
        const CFType keyName = key.isEmpty() ? CFType() : CFType(key);
        CFTypeRef value = nullptr;
        const int32_t code = read ? read(device, stringRef(domainName), stringRef(keyName), &value) : 0;
        if (!read && copy)
            value = copy(device, stringRef(domainName), stringRef(keyName));
        const CFType owned(value, true);
        if (code != 0)
            throw ValueReadError(code);
        values.append(owned);
    }
    return values;
}

int startService(void* device, const QString& name)
{
    int socket = -1;
    int32_t code = 0;
    {
        const Session session(device);
        const CFType serviceName(name);
        code = call<decltype(AMDeviceStartService)>("AMDeviceStartService", device, stringRef(serviceName), &socket,
                                                    static_cast<void*>(nullptr));
    }
    if (code != 0 || socket < 0) {
        if (socket >= 0)
            ::close(socket);
        const QString failed = QStringLiteral("Error code: AMDeviceStartService(%1)=%2").arg(htmlEscape(name), QString::number(code));
        const QString hint = phoneWentAway(code) ? disconnectedText() + QLatin1String("<br/><br/>")
                                                  : QString(QLatin1String(kWifiSyncHint));
        throwHtml(hint + failed);
    }
    return socket;
}

QString copyDeviceIdentifier(void* device)
{
    const Session session(device);
    auto* copy = mobileDeviceFunction<decltype(AMDeviceCopyDeviceIdentifier)>("AMDeviceCopyDeviceIdentifier");
    return CFType(copy ? copy(device) : nullptr, true).toString();
}

int setValue(void* device, const QString& domain, const QString& key, const CFType& value)
{
    const Session session(device);
    const CFType domainName(domain);
    const CFType keyName(key);
    return call<decltype(AMDeviceSetValue)>("AMDeviceSetValue", device, stringRef(domainName), stringRef(keyName),
                                            value.ref());
}

}  // namespace MobileDevice
