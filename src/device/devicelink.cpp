#include "device/devicelink.h"

#include "core/errors.h"
#include "device/servicesocket.h"

namespace {

const QString kDeviceReady = QStringLiteral("DLMessageDeviceReady");
const QString kProcessMessage = QStringLiteral("DLMessageProcessMessage");

}  // namespace

namespace DeviceLink {

CFType message(std::initializer_list<CFType> items)
{
    CFType array = CFType::array();
    for (const CFType& item : items)
        array.append(item);
    return array;
}

CFType parameter(const QString& value)
{
    return CFType(value.isEmpty() ? kEmptyParameter : value);
}

QString nameOf(const CFType& message)
{
    return message.valueAt(0).toString();
}

QString xmlOf(const CFType& message)
{
    return QString::fromUtf8(message.toPlistData(kCFPropertyListXMLFormat_v1_0));
}

CFType sendExpecting(int socket, const CFType& message, const QString& expected)
{
    mobiledevice_sendmsg(socket, message, false, kTimeoutMs);
    const CFType answer = mobiledevice_recmsg(socket, message, kTimeoutMs);
    if (nameOf(answer) != expected)
        throwUtf8(QStringLiteral("invalid feedback after send %1.\n").arg(nameOf(message)) + xmlOf(answer));
    return answer;
}

}  // namespace DeviceLink

void mobiledevice_link_sc_version_exchange(int socket)
{
    using namespace DeviceLink;
    if (nameOf(mobiledevice_recmsg(socket, CFType(), kTimeoutMs)) == kDeviceReady)
        return;
    sendExpecting(socket, message({CFType(QStringLiteral("DLMessageVersionExchange")), CFType(QStringLiteral("DLVersionsOk"))}),
                  kDeviceReady);
}

CFType mobiledevice_link_sc_send_process_message(int socket, const CFType& payload)
{
    const CFType sent = DeviceLink::message({CFType(kProcessMessage), payload});
    mobiledevice_sendmsg(socket, sent, true, DeviceLink::kTimeoutMs);
    return sent.clone();
}

void mobiledevice_link_sc_recv_dlmessaeg(int socket, CFType& message, QString& name, const CFType& context)
{
    const CFType received = mobiledevice_recmsg(socket, context, DeviceLink::kTimeoutMs);
    const QString receivedName = DeviceLink::nameOf(received);
    if (!receivedName.startsWith(QLatin1String("DL"), Qt::CaseInsensitive)) {
        qDebug("mobiledevice_link_sc_recv_dlmessaeg recv invalid msg:\n%s", qUtf8Printable(DeviceLink::xmlOf(received)));
        throwUtf8(QStringLiteral("Did not receive a DL* message as expected."));
    }
    message = received;
    name = receivedName;
}

CFType mobiledevice_link_sc_recv_process_message(int socket, const CFType& context, CFType* whole)
{
    CFType received;
    QString name;
    mobiledevice_link_sc_recv_dlmessaeg(socket, received, name, context);
    if (name != kProcessMessage) {
        qDebug("mobiledevice_link_sc_recv_process_message recv invalid msg:\n%s",
               qUtf8Printable(DeviceLink::xmlOf(received)));
        throwUtf8(QStringLiteral("Did not receive DLMessageProcessMessage as expected."));
    }
    if (whole)
        *whole = received;
    return received.valueAt(1).clone();
}

void mobiledevice_link_sc_disconnect(int socket, const QString& reason)
{
    const CFType sent =
        DeviceLink::message({CFType(QStringLiteral("DLMessageDisconnect")), DeviceLink::parameter(reason)});
    mobiledevice_sendmsg(socket, sent, true, DeviceLink::kTimeoutMs);
}
