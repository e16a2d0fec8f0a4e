#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The editor page's HTTP server. The library parses and answers requests, but
// a connection reaches one of the request threads only once the whole head of
// a request has arrived: one gate thread waits, with a deadline, for the head
// of every new connection and for the next request of every kept one. Idle or
// slow connections therefore hold a descriptor for a few seconds and never a
// request thread, however many they are; when too many wait, the oldest goes.
// A response that says "Connection: close" closes its connection, so a
// request refused before its body was read never has the rest taken for a
// request of its own.
class PageServer : public httplib::Server {
 public:
  struct Limits {
    int threads = 16;                         // requests answered at once
    std::chrono::milliseconds head{3000};     // a new connection's head
    std::chrono::milliseconds kept{5000};     // a kept connection's next head
    std::chrono::milliseconds request{5000};  // a request's head and body, read
    std::chrono::milliseconds write{5000};    // each write of a response
    std::size_t waiting = 512;                // connections waiting for a head
    std::size_t longestHead = std::size_t{16} * 1024;
  };

  explicit PageServer(Limits limits);
  ~PageServer() override;
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // After bind: lets more connections wait to be accepted than the library's
  // own backlog does, so a burst of them does not delay a page's request.
  void widenBacklog();

 private:
  struct Connection {
    int fd = -1;
    std::string bytes;  // read and not yet parsed
    std::chrono::steady_clock::time_point deadline;
    std::uint64_t order = 0;  // which came first, to drop the oldest
  };

  // Listener thread: the library accepted sock.
  bool process_and_close_socket(socket_t sock) override;

  void admit(Connection connection);
  void runGate();
  void runWorker();
  void serve(Connection connection);
  void closeAll();

  Limits limits_;
  int wake_ = -1;  // eventfd that wakes the gate

  std::mutex lock_;  // guards everything below
  std::condition_variable readySignal_;
  bool ending_ = false;
  std::vector<Connection> incoming_;  // to the gate
  std::deque<Connection> ready_;      // to the workers: a whole head is in bytes
  std::set<int> serving_;             // descriptors a worker holds
  std::uint64_t admitted_ = 0;

  std::thread gate_;
  std::vector<std::thread> workers_;
};
