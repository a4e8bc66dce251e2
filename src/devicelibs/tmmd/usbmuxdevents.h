#pragma once
// The arrivals and removals of phones, read from usbmuxd over a Listen connection of our own. The event
// thread of libusbmuxd 2.0.2 is not used: when usbmuxd closes Listen unanswered it reconnects thousands
// of times a second without closing its sockets, until glibc aborts the process at descriptor 1024.
// Here one connection is open at a time; one that fails, is refused or ends is closed, its phones are
// reported removed (usbmuxd ends after the last one), and the next is tried a second later, so a
// usbmuxd that starts, or starts answering, later is still followed.
namespace tmmd {

// Starts following usbmuxd, once per process; the phones already attached are reported as arrivals to
// the subscriber (as they are to the first one when the connection is made). Any thread.
void followUsbmuxd();

}  // namespace tmmd
