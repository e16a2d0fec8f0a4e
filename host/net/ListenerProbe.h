#pragma once

// Whether a TCP socket other than the one with inode `ownInode` listens on
// port, in either address family, in this network namespace. Listening
// sockets share a port when they all allow port reuse; this is how a host
// that sets that option still tells a port in use. Answers false when the
// system cannot be asked.
bool anotherListenerOn(int port, unsigned long ownInode);
