#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "JSocket.h"

// One operating-system socket, shared by every JSocket and stream copied from
// the one that opened it: the type a JSocket names but does not show.
//
// close() only shuts the socket down: that wakes a blocked accept, poll or
// recv in any thread at once, while the descriptor number stays owned until
// the last holder releases the handle. So a thread that took the number a
// moment ago can never end up using another socket that reused it.
class JSocket::SystemSocket {
 public:
  enum class Kind { kListener, kConnection };
  // Takes ownership of fd, bound to localPort.
  SystemSocket(int fd, Kind kind, int localPort);
  ~SystemSocket();
  SystemSocket(const SystemSocket&) = delete;
  SystemSocket& operator=(const SystemSocket&) = delete;

  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] bool isClosed() const { return closed_.load(); }
  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] int localPort() const { return localPort_; }
  // The object whose thread opened it (JThread::currentTarget()), or null.
  [[nodiscard]] const JObject* owner() const { return owner_; }

  // Shuts both directions down; idempotent; any thread.
  void close();
  // Sends end of stream after what was sent so far; reading stays possible.
  // Returns false when the socket was closed already.
  bool shutdownOutput();

  // Whether SocketLedger no longer counts this socket as a running server's;
  // guarded by the ledger's lock.
  mutable bool claimReleased = false;
  // Whether SocketLedger no longer counts it among its owner's sockets;
  // guarded by the ledger's lock.
  mutable bool ownerReleased = false;

 private:
  const int fd_;
  const Kind kind_;
  const int localPort_;
  const JObject* const owner_;
  std::mutex lock_;  // orders shutdown calls against the closed flag
  std::atomic<bool> closed_{false};
};

using SocketHandle = JSocket::SystemSocket;
