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

// Whether a plain bind (without address reuse) to 127.0.0.1:port succeeds
// now: no socket of the port is left, not even a closed one.
bool canBindLoopback(int port);

// Another program's listener on 127.0.0.1:port that allows port sharing, as
// the host's own do: its descriptor, or -1 when the port cannot be had.
int portSharingListener(int port);

// Open descriptors and threads of a process, from /proc/PID/fd and
// /proc/PID/task ("self" for this one); -1 each when it cannot be read.
struct ProcessCounts {
  int descriptors = -1;
  int threads = -1;
  bool operator==(const ProcessCounts&) const = default;
};
ProcessCounts processCounts(const std::string& pid = "self");
std::string describe(const ProcessCounts& counts);
// The counts once they have held still for settleMs, so that a baseline
// taken after some work does not catch a connection that is still closing
// (or the counts after timeoutMs, when they never do).
ProcessCounts settledCounts(const std::string& pid = "self", int settleMs = 300,
                            int timeoutMs = 10000);
// Waits until the counts are back to baseline; false when they are not
// within timeoutMs, with the last counts in now.
bool countsReturnTo(const ProcessCounts& baseline, ProcessCounts& now,
                    const std::string& pid = "self", int timeoutMs = 10000);

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

// Captures the debug channel while it lives.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  [[nodiscard]] std::vector<std::string> lines() const;
  [[nodiscard]] int count(const std::string& line) const;
  [[nodiscard]] int countStartingWith(const std::string& prefix) const;
  bool waitFor(const std::string& line, int timeoutMs = 5000, int times = 1) const;
  void clear();

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};

}  // namespace qeno::test

// ---- Painted boxes: where a module's text lines are and what they show.

#include "JGraphics.h"
#include "JModuleObj.h"

namespace qeno::test {

// The top-left corner (x and y alike) of the box's frame in an image that
// renderModule made, or -1.
int boxCorner(const JImage& image);

// The rectangles of a box's title and address lines in an image that
// renderModule made of module: the interior (the box less depth2 on every
// side) cut at h/12, h/3 and h/2.
struct FaceLines {
  JRect title;
  JRect address;
};
FaceLines faceLinesOf(const JImage& image, const JModuleObj& module);

// A plain box of module's geometry that shows the two given texts in those
// rectangles, rendered the same way: the expected face, pixel for pixel.
JImage renderTextLines(const JModuleObj& module, const std::string& title,
                       const std::string& address);

// Pixels of rect for which test holds.
int countPixels(const JImage& image, const JRect& rect,
                const std::function<bool(const JColor&)>& test);
// Whether a and b agree on every pixel of rect.
bool samePixels(const JImage& a, const JImage& b, const JRect& rect);

}  // namespace qeno::test
