#pragma once

#include <string>

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
