#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qeno::test {

// Waits, in short steps, until condition holds or timeoutMs passes.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// A port on 127.0.0.1 that was free a moment ago.
int freePort();

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
  [[nodiscard]] bool eof() const { return eof_; }
  [[nodiscard]] bool reset() const { return reset_; }
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool eof_ = false;
  bool reset_ = false;
};

// Captures the debug channel while it lives.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  [[nodiscard]] std::vector<std::string> lines() const;
  [[nodiscard]] int count(const std::string& line) const;
  bool waitFor(const std::string& line, int timeoutMs = 5000, int times = 1) const;
  void clear();

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};

}  // namespace qeno::test
