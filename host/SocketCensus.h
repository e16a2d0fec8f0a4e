#pragma once

class SocketHandle;

// Which sockets of this process are open, by local port, so a host can tell
// what a server is doing without looking inside it. Thread-safe.
class SocketCensus {
 public:
  static int listeners(int port);
  static int connections(int port);
  static void opened(const SocketHandle& handle);
  static void closed(const SocketHandle& handle);
};
