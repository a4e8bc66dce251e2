#pragma once
// A client of the device's backup service "com.apple.mobilebackup2": dictionaries named by their
// "MessageName", carried in DeviceLink process messages. It offers the pieces of a backup session
// (handshake, protocol version, requests, responses, status answers) and two whole requests, switching
// iCloud backup and asking for a backup. Every call blocks (60 s per send and receive), throws
// std::runtime_error with a UTF-8 text and leaves the socket to its caller.
#include "device/cftype.h"

#include <QString>

#include <cstdint>

// Starts the service on device, stores its socket (also when the handshake then fails) and runs the
// DeviceLink handshake.
void mobiledevice_backup2_connect(void* device, int& socket);

// Offers count versions (none when count is 0 or less) in "Hello"; the device's "ProtocolVersion", 0
// when it names none. Throws "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION"
// for error code 1 and "...: MOBILEBACKUP2_E_REPLY_NOT_OK" for any other that is not 0.
double mobiledevice_backup2_version_exchange(int socket, const double* versions, int8_t count);

// Sets "MessageName" in dictionary (the caller's dictionary changes) and sends it; a copy of the
// message sent.
CFType mobiledevice_backup2_send_message(int socket, const QString& name, CFType& dictionary);

// A request: "TargetIdentifier" always, "SourceIdentifier" when not empty, "Options" when options are
// given (not null); "Unback" also carries the options' "Password" and "EnableCloudBackup" their
// "CloudBackupState" at the top level. A copy of the message sent.
CFType mobiledevice_backup2_send_request(int socket, const QString& name, const QString& target,
                                         const QString& source, const CFType& options);

// Any DeviceLink message.
void mobiledevice_backup2_recv_message(int socket, CFType& message, QString& name);

// A process message whose "MessageName" is exactly "Response" (else throws "Did not receive a
// message(\"Message Name\" is \"Response\").\n" and the message's XML): a copy of its dictionary, with
// its "ErrorCode" (0 when absent) in errorCode and the whole message in whole when given.
CFType mobiledevice_backup2_recv_response(int socket, int& errorCode, const CFType& context, CFType* whole = nullptr);

// Sends ["DLMessageStatusResponse", code, text, dictionary] in binary, the empty-parameter marker in
// place of an empty text or a null dictionary; a copy of what was sent.
CFType mobiledevice_backup2_send_status_response(int socket, int code, const QString& text, const CFType& dictionary);

// Switches the device's iCloud backup; throws "Set EnableCloudBackup error code: N" when refused.
void mobiledevice_backup2_enable_cloud_backup(int socket, const QString& udid, bool enable);

// Asks for a backup, full ({"ForceFullBackup": true} as options) or incremental (no options). The
// device's messages that follow are for the caller to read and answer.
void mobiledevice_backup2_request_backup(int socket, const QString& udid, bool full);
