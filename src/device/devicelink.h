#pragma once
// The DeviceLink convention that the backup and sync services speak over the service framing: every
// message is a property-list array whose element 0 names it. The handshake, the process messages that
// carry a dictionary, the check of received names and the closing disconnect. Each call waits at most
// 60 s per send and receive, throws std::runtime_error with a UTF-8 text, and leaves the socket open for
// its caller to close. Received messages come from the device: elements it left out read as null.
//
// Known limit: the handshake answers the device's version exchange with the two elements
// ["DLMessageVersionExchange", "DLVersionsOk"] and no version number; newer devices may want a third.
#include "device/cftype.h"

#include <QString>

#include <initializer_list>

namespace DeviceLink {

// Sent in place of a string parameter that is empty or absent.
inline const QString kEmptyParameter = QStringLiteral("___EmptyParameterString___");
constexpr int kTimeoutMs = 60000;

// A new array of items, in order.
CFType message(std::initializer_list<CFType> items);
// The string value, or the empty-parameter marker when value is empty.
CFType parameter(const QString& value);
// Element 0 as a string; "" when message is no array or its element 0 no string.
QString nameOf(const CFType& message);
// The whole message as an XML property list, for error texts and the log.
QString xmlOf(const CFType& message);

// Sends message as XML, receives the answer with message as context and returns it when its name is
// exactly expected; otherwise throws "invalid feedback after send <message's name>.\n<answer as XML>".
CFType sendExpecting(int socket, const CFType& message, const QString& expected);

}  // namespace DeviceLink

// The handshake: done when the device opens with "DLMessageDeviceReady"; otherwise it is answered
// ["DLMessageVersionExchange", "DLVersionsOk"] (XML) and must reply "DLMessageDeviceReady".
void mobiledevice_link_sc_version_exchange(int socket);

// Sends ["DLMessageProcessMessage", payload] in binary; a copy of what was sent.
CFType mobiledevice_link_sc_send_process_message(int socket, const CFType& payload);

// Receives one message whose name begins with "DL" in any letter case, else throws "Did not receive a
// DL* message as expected.".
void mobiledevice_link_sc_recv_dlmessaeg(int socket, CFType& message, QString& name, const CFType& context);

// Receives a message named exactly "DLMessageProcessMessage" (else throws "Did not receive
// DLMessageProcessMessage as expected.") and returns a copy of its payload; whole, when given, gets
// the whole message.
CFType mobiledevice_link_sc_recv_process_message(int socket, const CFType& context, CFType* whole = nullptr);

// Sends ["DLMessageDisconnect", reason] in binary; nothing is awaited.
void mobiledevice_link_sc_disconnect(int socket, const QString& reason);
