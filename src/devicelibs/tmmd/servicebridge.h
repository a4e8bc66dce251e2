#pragma once
// A started service reaches the program as one end of a socket pair, whatever carries it to the device
// (plain usbmuxd, or SSL over it): two pump threads copy between the device connection and the other
// end. The program's socket code is then the same for every MobileDevice library, and closing its end is
// all it does to end the service.
//
// - Device to program: waits (100 ms at a time) until the device connection is readable, receives, and
//   writes to the program (a receive that brought no data, kNoDataYet, is waited past); when the device
//   ends or fails, the program reads end of file.
// - Program to device: receives from the program and sends to the device.
// - On an SSL connection one SSL object must not be read and written by two threads at once: a receive
//   and a send then never overlap. The reader takes the lock only once data is arriving, so the writer
//   is never starved by a reader waiting for the device.
// - The bridge ends when the program closes its end (or the device fails); the last pump to finish
//   closes the device connection and the bridge's own end. No thread touches anything of the program.
#include <csignal>
#include <cstddef>
#include <memory>

namespace tmmd {

constexpr long kNoDataYet = -2;

// The device side of a service connection.
class DeviceStream {
public:
    virtual ~DeviceStream() = default;
    // A descriptor that polls readable when data (or the end) is arriving; negative when there is none.
    virtual int pollFd() const = 0;
    // True when receive and send must not run at the same time (SSL).
    virtual bool serialised() const = 0;
    // The bytes received, at most size; kNoDataYet when what arrived was no data for the program (the
    // bridge waits on); else 0 or less at the end of the stream or on failure.
    virtual long receive(char* buffer, size_t size) = 0;
    // False when not all of data could be sent.
    virtual bool sendAll(const char* data, size_t size) = 0;
};

// Holds SIGPIPE back from the calling thread for its scope and drops one raised meanwhile: OpenSSL
// writes to device sockets without MSG_NOSIGNAL, so a device gone mid-write would otherwise end the
// process; the write fails with EPIPE and its caller sees an error code. Every call into libimobiledevice
// that may write runs under one.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_previousMask;
    bool m_wasPending = false;
};

// Starts the pumps between stream and a new socket pair; the program's end, or -1 when the pair or a
// thread cannot be made (stream is then closed).
int startBridge(std::unique_ptr<DeviceStream> stream);

// Bridges whose pumps have not both finished.
int liveBridges();

}  // namespace tmmd
