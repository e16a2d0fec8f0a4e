#pragma once

class JObject;

// How many sockets of this process are open on a local port, so a host can
// tell what a server is doing without looking inside it. Thread-safe.
class SocketCensus {
 public:
  // Listening sockets on port.
  static int listeners(int port);
  // Connections accepted on port and not yet closed.
  static int connections(int port);

  // The same for the sockets a box's own threads opened (those started by
  // a JThread whose target is owner), whatever started it, and the port
  // they were last opened on. A connection handed to the lingering closer
  // is no longer its box's: the exchange is over.
  static int listenersOf(const JObject* owner);
  static int connectionsOf(const JObject* owner);
  static int portOf(const JObject* owner);
  // Connections owner's threads have accepted: requests served. Counted
  // while owner is in a graph, which forgets it when it leaves.
  static long acceptedBy(const JObject* owner);
  static void forget(const JObject* owner);
};
