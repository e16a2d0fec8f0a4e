#pragma once

// How many sockets of this process are open on a local port, so a host can
// tell what a server is doing without looking inside it. Thread-safe.
class SocketCensus {
 public:
  // Listening sockets on port.
  static int listeners(int port);
  // Connections accepted on port and not yet closed.
  static int connections(int port);
};
