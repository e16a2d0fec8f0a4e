#pragma once

// What the kernel's socket diagnostics tell of other listeners on a port.
enum class OtherListener { kNone, kFound, kUnknown };

// Whether a TCP socket other than the one with inode `ownInode` listens on
// port, in either address family, in this network namespace. Listening
// sockets share a port when they all allow port reuse; this is how a host
// that sets that option still tells a port in use. kUnknown when the system
// cannot be asked.
OtherListener otherListenerOn(int port, unsigned long ownInode);

// Whether listeners may allow port sharing: only while the check above
// works. False for good once it has failed.
bool listenerProbeUsable();
// Records that the check could not run, and tells the debug channel the
// first time.
void listenerProbeFailed();
