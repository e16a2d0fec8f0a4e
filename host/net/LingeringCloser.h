#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "SocketHandle.h"

// Finishes graceful closes on a thread of its own: for each connection it is
// given, it sends end of stream, discards what the peer still sends until the
// peer's end of stream or a deadline, then closes. The thread that handed
// the connection over goes on at once. Thread-safe.
//
// End of stream is held back until a listening socket is open again on the
// connection's port (or briefly, when none comes): a client that reconnects
// the moment it sees end of stream then finds a listener. Without one, its
// connection attempt is refused, or, when it meets the TIME_WAIT entry of an
// earlier connection from the same client port, answered with a bare ACK,
// which costs the client a SYN retransmission.
class LingeringCloser {
 public:
  using Clock = std::chrono::steady_clock;

  static LingeringCloser& instance();

  // endOfStreamSent: the caller has sent it already, with a listener up.
  void add(std::shared_ptr<SocketHandle> handle, Clock::time_point deadline,
           bool endOfStreamSent = false);
  // A listening socket is open on port: end of stream goes out now on that
  // port's connections. Called on the thread that listened.
  void listening(int port);
  // Connections still waiting for their peer.
  [[nodiscard]] int pending() const;

  LingeringCloser(const LingeringCloser&) = delete;
  LingeringCloser& operator=(const LingeringCloser&) = delete;

 private:
  struct Entry {
    std::shared_ptr<SocketHandle> handle;
    Clock::time_point deadline;
    Clock::time_point endOfStreamDue;
    bool endOfStreamSent = false;
  };

  LingeringCloser();
  ~LingeringCloser();
  void run();
  void wake() const;

  // More connections than this are not kept waiting: the oldest is closed.
  static constexpr std::size_t kMostPending = 4096;
  // Longest wait for a listener before end of stream goes out anyway.
  static constexpr std::chrono::milliseconds kEndOfStreamHold{20};

  mutable std::mutex lock_;  // guards incoming_, held_, stopping_, count_
  std::vector<Entry> incoming_;
  // Connections whose end of stream waits for a listener: (port, handle).
  std::vector<std::pair<int, std::shared_ptr<SocketHandle>>> held_;
  bool stopping_ = false;
  int count_ = 0;
  int wakeFd_ = -1;
  std::thread thread_;  // last member: starts once the others are ready
};
