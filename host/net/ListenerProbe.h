#pragma once

#include <string>

#include "ListenSocket.h"
#include "SocketLedger.h"

// Whether a TCP socket other than the one with inode `ownInode` listens on
// port, in either address family, in this network namespace. Listening
// sockets share a port when they all allow port reuse; this is how a host
// that sets that option still tells a port in use.
struct ListenerCheck {
  enum class Outcome { kNone, kFound, kUnknown };
  Outcome outcome = Outcome::kUnknown;
  std::string whyUnknown;  // set with kUnknown: the system could not be asked
};

ListenerCheck checkOtherListeners(int port, unsigned long ownInode);

// Opens a TCP listener on address for requestedPort (0: a free port) as the
// host listens: with SO_REUSEPORT, so that re-listening stays fast however
// many TIME_WAIT entries the port holds, and refused (-EADDRINUSE) when
// another socket listens on the port. The kernel is asked for other
// listeners once while the port's sharing is kUnchecked; when it cannot be
// asked the listener goes without SO_REUSEPORT (kNoSharing) and the debug channel
// says so once. Returns the descriptor, with the port bound and the sharing
// to record once the socket is counted; or -errno. Called with the host's
// listen lock held.
int openListener(const ListenAddress& address, int requestedPort, int backlog, int& boundPort,
                 PortSharing& sharing);
