#pragma once

#include "SocketHandle.h"

// How this process listens on a port: kUnchecked until the kernel has been
// asked for other listeners there; kSharePort when it answered none, so the
// port's listeners set SO_REUSEPORT; kNoSharing when it could not be asked,
// so they listen without it and the kernel itself refuses a port in use.
enum class PortSharing { kUnchecked, kSharePort, kNoSharing };

// The books behind SocketCensus: every open SocketHandle by kind and local
// port, and each port's sharing, kept while a listener or a served
// connection of this process is open on the port. Thread-safe.
class SocketLedger {
 public:
  static void opened(const SocketHandle& handle);
  static void closed(const SocketHandle& handle);
  // The connection is handed to the closer: it no longer keeps a server's
  // sharing known, so a server started anew asks the kernel again.
  static void lingering(const SocketHandle& handle);

  static int count(SocketHandle::Kind kind, int port);
  // Open sockets of kind that owner's thread opened, and the port of one.
  static int countOf(SocketHandle::Kind kind, const JObject* owner);
  static int portOf(const JObject* owner);
  // Connections owner's threads accepted, until forget(owner).
  static long acceptedBy(const JObject* owner);
  static void forget(const JObject* owner);
  static PortSharing sharingOn(int port);
  static void setSharing(int port, PortSharing sharing);
};
