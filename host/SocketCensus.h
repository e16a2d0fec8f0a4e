#pragma once

class SocketHandle;

// Which sockets of this process are open, by local port, so a host can tell
// what a server is doing without looking inside it. Thread-safe.
class SocketCensus {
 public:
  // How this process listens on a port: kUnchecked until the kernel has been
  // asked for other listeners there, kChecked when it answered none, kOff
  // when it could not be asked (listen without port sharing). Kept while a
  // listener or a served connection of this process is open on the port.
  enum class Sharing { kUnchecked, kChecked, kOff };
  static int listeners(int port);
  static int connections(int port);
  static Sharing sharingOn(int port);
  static void setSharing(int port, Sharing sharing);
  static void opened(const SocketHandle& handle);
  static void closed(const SocketHandle& handle);
  // The connection is handed to the closer: it no longer keeps a server's
  // sharing known, so a server started anew asks the kernel again.
  static void lingering(const SocketHandle& handle);
};
