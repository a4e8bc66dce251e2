#pragma once
// The connection of a started device service: a stream socket (the descriptor MobileDevice hands
// over) and the messages exchanged on it, each a 4-byte big-endian length followed by a property
// list, binary or XML. The peer is a device, or something posing as one: every count and length it
// sends is checked before it is used. None of these functions close the socket on failure; the
// caller owns it.
#include "device/cftype.h"

#include <functional>

namespace Socket {

// Waits until the socket can be read (forRead) or written: 1 when it can, 0 when timeoutMs passed
// first (below 1: no limit), negative on an error. An interrupted wait goes on with the time left.
int waitReady(int socket, int timeoutMs, bool forRead);

// Sends all length bytes, allowing timeoutMs for each chance to write; returns the count sent, which
// is smaller after a timeout, an error or a peer that has gone (reported, never a SIGPIPE).
int sendAll(int socket, const char* bytes, int length, int timeoutMs);

// Receives until the buffer is full, timeoutMs pass without data, the peer closes, or stop (when
// given, asked at least every 500 ms) answers true; returns the count received.
int receiveAll(int socket, char* buffer, int length, int timeoutMs, const std::function<bool()>& stop = {});

// Closes a descriptor that is not negative.
void close(int socket);

}  // namespace Socket

// The largest message body accepted from a device; a longer announced length is an error.
constexpr int kMaxServiceMessageBytes = 64 * 1024 * 1024;

// Sends message serialised as a binary (binary) or XML property list. A value no property list can
// hold serialises to nothing, and then nothing is sent. Throws std::runtime_error with
// "mobiledevice_sendmsg(msg-length) error." or "mobiledevice_sendmsg(msg) error." and the message's
// XML (at most 800 characters) on a short send.
void mobiledevice_sendmsg(int socket, const CFType& message, bool binary, int timeoutMs);

// Receives one message: null for an announced length of 0 or a body that does not parse. The
// first bytes may take the device a long time, so their wait is the longer of 60 s and timeoutMs;
// the body's waits are timeoutMs each. Throws std::runtime_error with "mobiledevice_recmsg(msg-length)
// error, received length: N." or "mobiledevice_recmsg(msg) error, received length: N." (also for a
// length above kMaxServiceMessageBytes), followed by request's XML (at most 800 characters) when
// request is not null.
CFType mobiledevice_recmsg(int socket, const CFType& request, int timeoutMs);
