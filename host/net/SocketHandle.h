#pragma once

#include <atomic>
#include <mutex>
#include <string>

// One operating-system socket, shared by every JSocket and stream copied from
// the one that opened it.
//
// close() only shuts the socket down: that wakes a blocked accept, poll or
// recv in any thread at once, while the descriptor number stays owned until
// the last holder releases the handle. So a thread that took the number a
// moment ago can never end up using another socket that reused it.
class SocketHandle {
 public:
  enum class Kind { kListener, kConnection };
  // Takes ownership of fd, bound to localPort.
  SocketHandle(int fd, Kind kind, int localPort);
  ~SocketHandle();
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;

  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] bool isClosed() const { return closed_.load(); }
  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] int localPort() const { return localPort_; }

  // Shuts both directions down; idempotent; any thread.
  void close();
  // Sends end of stream after what was sent so far; reading stays possible.
  // Returns false when the socket was closed already.
  bool shutdownOutput();

  // Whether SocketCensus no longer counts this socket as a running server's;
  // guarded by the census's lock.
  mutable bool claimReleased = false;

 private:
  const int fd_;
  const Kind kind_;
  const int localPort_;
  std::mutex lock_;  // orders shutdown calls against the closed flag
  std::atomic<bool> closed_{false};
};
