#include "device/mobilebackup2.h"

#include "core/errors.h"
#include "device/devicelink.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"

namespace {

const QString kMessageName = QStringLiteral("MessageName");
constexpr int kNoCommonVersion = 1;

// Copies key of options to the top level of request when options hold it.
void liftOption(CFType& request, const CFType& options, const QString& key)
{
    const CFType value = options.value(key);
    if (!value.isNull())
        request.setValue(CFType(key), value);
}

}  // namespace

void mobiledevice_backup2_connect(void* device, int& socket)
{
    socket = MobileDevice::startService(device, QStringLiteral("com.apple.mobilebackup2"));
    mobiledevice_link_sc_version_exchange(socket);
}

double mobiledevice_backup2_version_exchange(int socket, const double* versions, int8_t count)
{
    CFType offered = CFType::array();
    for (int i = 0; i < count; ++i)
        offered.append(CFType(versions[i]));
    CFType hello = CFType::dictionary();
    hello.setValue(CFType(QStringLiteral("SupportedProtocolVersions")), offered);
    const CFType sent = mobiledevice_backup2_send_message(socket, QStringLiteral("Hello"), hello);
    int errorCode = 0;
    const CFType response = mobiledevice_backup2_recv_response(socket, errorCode, sent);
    if (errorCode == kNoCommonVersion)
        throwUtf8(QStringLiteral("mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION"));
    if (errorCode != 0)
        throwUtf8(QStringLiteral("mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_REPLY_NOT_OK"));
    return response.value(QStringLiteral("ProtocolVersion")).toDouble(0.0);
}

CFType mobiledevice_backup2_send_message(int socket, const QString& name, CFType& dictionary)
{
    dictionary.setValue(CFType(kMessageName), CFType(name));
    return mobiledevice_link_sc_send_process_message(socket, dictionary);
}

CFType mobiledevice_backup2_send_request(int socket, const QString& name, const QString& target,
                                         const QString& source, const CFType& options)
{
    CFType request = CFType::dictionary();
    request.setValue(CFType(QStringLiteral("TargetIdentifier")), CFType(target));
    if (!source.isEmpty())
        request.setValue(CFType(QStringLiteral("SourceIdentifier")), CFType(source));
    if (!options.isNull()) {
        request.setValue(CFType(QStringLiteral("Options")), options);
        if (name == QLatin1String("Unback"))
            liftOption(request, options, QStringLiteral("Password"));
        else if (name == QLatin1String("EnableCloudBackup"))
            liftOption(request, options, QStringLiteral("CloudBackupState"));
    }
    return mobiledevice_backup2_send_message(socket, name, request);
}

void mobiledevice_backup2_recv_message(int socket, CFType& message, QString& name)
{
    mobiledevice_link_sc_recv_dlmessaeg(socket, message, name, CFType());
}

CFType mobiledevice_backup2_recv_response(int socket, int& errorCode, const CFType& context, CFType* whole)
{
    CFType received;
    const CFType response = mobiledevice_link_sc_recv_process_message(socket, context, &received);
    if (response.value(kMessageName).toString() != QLatin1String("Response"))
        throwUtf8(QStringLiteral("Did not receive a message(\"Message Name\" is \"Response\").\n")
                  + DeviceLink::xmlOf(received));
    errorCode = response.value(QStringLiteral("ErrorCode")).toInt(0);
    if (whole)
        *whole = received;
    return response;
}

CFType mobiledevice_backup2_send_status_response(int socket, int code, const QString& text, const CFType& dictionary)
{
    const CFType sent = DeviceLink::message({CFType(QStringLiteral("DLMessageStatusResponse")), CFType(qint32(code)),
                                             DeviceLink::parameter(text),
                                             dictionary.isNull() ? CFType(DeviceLink::kEmptyParameter) : dictionary});
    mobiledevice_sendmsg(socket, sent, true, DeviceLink::kTimeoutMs);
    return sent.clone();
}

void mobiledevice_backup2_enable_cloud_backup(int socket, const QString& udid, bool enable)
{
    qDebug("Set EnableCloudBackup: %d", enable ? 1 : 0);
    CFType options = CFType::dictionary();
    options.setValue(CFType(QStringLiteral("CloudBackupState")), CFType(enable));
    mobiledevice_backup2_send_request(socket, QStringLiteral("EnableCloudBackup"), udid, udid, options);
    int errorCode = 0;
    mobiledevice_backup2_recv_response(socket, errorCode, CFType());
    if (errorCode != 0)
        throwUtf8(QStringLiteral("Set EnableCloudBackup error code: %1").arg(errorCode));
}

void mobiledevice_backup2_request_backup(int socket, const QString& udid, bool full)
{
    qDebug("Requesting backup from device, %s", full ? "Full backup mode" : "Incremental backup mode");
    CFType options;
    if (full) {
        options = CFType::dictionary();
        options.setValue(CFType(QStringLiteral("ForceFullBackup")), CFType(true));
    }
    mobiledevice_backup2_send_request(socket, QStringLiteral("Backup"), udid, udid, options);
}
