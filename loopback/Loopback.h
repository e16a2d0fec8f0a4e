#pragma once

#include <functional>
#include <string>

// Loopback client helpers shared by the tests and the benchmarks. Nothing
// here knows the host or the module.
namespace qeno::loopback {

// Waits, in short steps, until condition holds or timeoutMs passes.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// A port on 127.0.0.1 that was free a moment ago.
int freePort();

// Whether a plain bind (without address reuse) to 127.0.0.1:port succeeds
// now: no socket of the port is left, not even a closed one.
bool canBindLoopback(int port);

// A blocking loopback TCP client; every call is bounded in time.
class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to 127.0.0.1:port, retrying refusals until timeoutMs.
  bool connect(int port, int timeoutMs = 5000);
  // One attempt, no retry: false when refused.
  bool tryConnect(int port);
  bool send(const std::string& bytes);
  // Reads until end of stream, an error or timeoutMs. `reset` tells whether
  // the connection was reset; `eof` whether end of stream was seen.
  std::string readAll(int timeoutMs = 5000);
  // Reads what arrives within timeoutMs (at least one read).
  std::string readSome(int timeoutMs);
  void shutdownWrite();
  void close();
  // Closes with a reset (zero linger) instead of an orderly end of stream.
  void abort();
  [[nodiscard]] bool eof() const { return eof_; }
  [[nodiscard]] bool reset() const { return reset_; }
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool eof_ = false;
  bool reset_ = false;
};

}  // namespace qeno::loopback
