#pragma once

#include <sys/socket.h>

#include <string>

// Where a listener binds: the first address the bind address gives for a
// port.
struct ListenAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  [[nodiscard]] int family() const { return storage.ss_family; }
  [[nodiscard]] const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  bool operator==(const ListenAddress& other) const;
};

// Resolves a numeric bind address (empty: every address) and port. Returns
// false with the reason in error.
bool resolveListenAddress(const std::string& address, int port, ListenAddress& out,
                          std::string& error);

// A TCP socket bound to address, not listening yet: SO_REUSEADDR, the idle
// timeouts (0: none) its connections inherit, and SO_REUSEPORT when
// sharePort. Returns the descriptor or -errno.
int bindListenSocket(const ListenAddress& address, bool sharePort, int idleTimeoutMs);

// A server listens anew after every client, and the client waits for its
// end of stream until the new listener is up; opening and binding the socket
// in that gap costs the client more than the calls take. So the thread that
// ends a connection on port (JSocket::closeGracefullyAndBindNextListener)
// binds the next listener's socket at once, while the client is still
// reading, and keeps it, bound but not listening (connections to the port
// stay refused), until its next listen there takes it, until the server
// idles (an accept that waited in vain) or until the thread ends.
void prepareSpareListener(int port);
// This thread's prepared socket if it was bound the same way, or -1; any
// other prepared socket is closed.
int takeSpareListener(const ListenAddress& address, bool sharePort, int idleTimeoutMs);
// Closes this thread's prepared socket: an idle server keeps none.
void dropSpareListener();
