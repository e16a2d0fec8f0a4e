#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Loopback.h"
#include "SocketSettings.h"

namespace qeno::test {

using qeno::loopback::canBindLoopback;
using qeno::loopback::freePort;
using qeno::loopback::TcpClient;
using qeno::loopback::waitUntil;

// Another program's listener on 127.0.0.1:port that allows port sharing, as
// the host's own do: its descriptor, or -1 when the port cannot be had.
int portSharingListener(int port);

// Whether a host listener could have port now: no socket of this process
// or another listens there.
bool portIsFree(int port);

// One request on a new connection to 127.0.0.1:port, and the whole reply
// read to end of stream; "<refused>" when nothing listens.
std::string requestReply(int port, const std::string& text);

// Restores the host-wide socket settings a test changed.
class SocketSettingsScope {
 public:
  explicit SocketSettingsScope(const SocketSettings& settings) : saved_(SocketSettings::current()) {
    SocketSettings::apply(settings);
  }
  ~SocketSettingsScope() { SocketSettings::apply(saved_); }
  SocketSettingsScope(const SocketSettingsScope&) = delete;
  SocketSettingsScope& operator=(const SocketSettingsScope&) = delete;

 private:
  SocketSettings saved_;
};

// A new, empty folder under the system's temporary folder, removed with all
// it holds when the object goes.
class TempFolder {
 public:
  // prefix: the start of the folder's name, e.g. "qeno-app-".
  explicit TempFolder(const std::string& prefix);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, or an empty path when it could not be made.
  [[nodiscard]] const std::filesystem::path& dir() const { return dir_; }
  // A file or folder name inside it.
  [[nodiscard]] std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

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

// A timing bound of ms as it holds here: times QENO_TEST_TIME_SCALE when set
// (scripts/memcheck.sh sets it, as valgrind runs code tens of times slower).
int scaledMs(int ms);

// The calling thread's kernel id, for waitUntilBlocked.
int currentThreadId();
// Waits until thread tid of this process sleeps in the kernel: it has
// reached a blocking call and waits in it, rather than being about to.
bool waitUntilBlocked(int tid, int timeoutMs = 5000);

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
