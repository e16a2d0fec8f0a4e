#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "JComponent.h"
#include "JSocket.h"

namespace qeno::test {

using Clock = std::chrono::steady_clock;

namespace {

int countEntries(const std::string& folder) {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

}  // namespace

TempFolder::TempFolder(const std::string& prefix) {
  std::error_code error;
  std::string pattern =
      (std::filesystem::temp_directory_path(error) / (prefix + "XXXXXX")).string();
  if (!error && ::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

ProcessCounts processCounts(const std::string& pid) {
  const std::string proc = "/proc/" + pid;
  return ProcessCounts{countEntries(proc + "/fd"), countEntries(proc + "/task")};
}

std::string describe(const ProcessCounts& counts) {
  return std::to_string(counts.descriptors) + " descriptors, " + std::to_string(counts.threads) +
         " threads";
}

ProcessCounts settledCounts(const std::string& pid, int settleMs, int timeoutMs) {
  ProcessCounts last = processCounts(pid);
  Clock::time_point since = Clock::now();
  waitUntil(
      [&] {
        const ProcessCounts now = processCounts(pid);
        if (!(now == last)) {
          last = now;
          since = Clock::now();
        }
        return Clock::now() - since >= std::chrono::milliseconds(settleMs);
      },
      timeoutMs);
  return last;
}

bool countsReturnTo(const ProcessCounts& baseline, ProcessCounts& now, const std::string& pid,
                    int timeoutMs) {
  return waitUntil(
      [&] {
        now = processCounts(pid);
        return now == baseline;
      },
      timeoutMs);
}

int scaledMs(int ms) {
  static const int scale = [] {
    const char* text = std::getenv("QENO_TEST_TIME_SCALE");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 1;
  }();
  return ms * scale;
}

int currentThreadId() {
  return static_cast<int>(::gettid());
}

int portSharingListener(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 1) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string requestReply(int port, const std::string& text) {
  TcpClient client;
  if (!client.connect(port)) return "<refused>";
  client.send(text);
  return client.readAll();
}

bool portIsFree(int port) {
  JServerSocket probe(port);
  return probe.listen(1) == 1;
}

bool waitUntilBlocked(int tid, int timeoutMs) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  return waitUntil(
      [&] {
        std::ifstream file(path);
        std::string stat;
        std::getline(file, stat);
        // The state follows the command name, which is in parentheses.
        const std::size_t end = stat.rfind(')');
        return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
      },
      timeoutMs);
}

DebugCapture::DebugCapture() {
  JComponent::debugCapture([this](const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    lines_.push_back(line);
  });
}

DebugCapture::~DebugCapture() {
  JComponent::debugSilence();
}

std::vector<std::string> DebugCapture::lines() const {
  std::lock_guard<std::mutex> hold(lock_);
  return lines_;
}

int DebugCapture::count(const std::string& line) const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

int DebugCapture::countStartingWith(const std::string& prefix) const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
    return l.compare(0, prefix.size(), prefix) == 0;
  }));
}

bool DebugCapture::waitFor(const std::string& line, int timeoutMs, int times) const {
  return waitUntil([&] { return count(line) >= times; }, timeoutMs);
}

void DebugCapture::clear() {
  std::lock_guard<std::mutex> hold(lock_);
  lines_.clear();
}

}  // namespace qeno::test

// ---- Painted boxes

#include <cmath>

#include "BoxRenderer.h"

namespace qeno::test {

// renderModule leaves the same margin on every side, so the frame's top-left
// corner is the first black pixel on the diagonal.
int boxCorner(const JImage& image) {
  for (int i = 0; i < std::min(image.width(), image.height()); ++i) {
    if (image.pixel(i, i) == JColor::black) return i;
  }
  return -1;
}

namespace {

class TextLinesBox : public JAddObj {
 public:
  TextLinesBox(std::string title, std::string address)
      : title_(std::move(title)), address_(std::move(address)) {}
  void drawInterior(JGraphics g, int x, int y, int w, int h) override {
    drawText(g, title_, JRect(x, y + h / 12, w, h / 3));
    drawText(g, address_, JRect(x, y + h / 2, w, h / 3));
  }

 private:
  std::string title_;
  std::string address_;
};

}  // namespace

FaceLines faceLinesOf(const JImage& image, const JModuleObj& module) {
  const int corner = boxCorner(image);
  const int d = JModuleObj::depth2;
  const int x = corner + d;
  const int y = corner + d;
  const int w = static_cast<int>(std::lround(module.width)) - 2 * d;
  const int h = static_cast<int>(std::lround(module.height)) - 2 * d;
  return FaceLines{JRect(x, y + h / 12, w, h / 3), JRect(x, y + h / 2, w, h / 3)};
}

JImage renderTextLines(const JModuleObj& module, const std::string& title,
                       const std::string& address) {
  TextLinesBox box(title, address);
  box.x = module.x;
  box.y = module.y;
  box.width = module.width;
  box.height = module.height;
  return renderModule(box);
}

int countPixels(const JImage& image, const JRect& rect,
                const std::function<bool(const JColor&)>& test) {
  int count = 0;
  for (int y = rect.y; y < rect.y + rect.height; ++y) {
    for (int x = rect.x; x < rect.x + rect.width; ++x) count += test(image.pixel(x, y)) ? 1 : 0;
  }
  return count;
}

bool samePixels(const JImage& a, const JImage& b, const JRect& rect) {
  for (int y = rect.y; y < rect.y + rect.height; ++y) {
    for (int x = rect.x; x < rect.x + rect.width; ++x) {
      if (!(a.pixel(x, y) == b.pixel(x, y))) return false;
    }
  }
  return true;
}

}  // namespace qeno::test

// Fontconfig, which cairo uses to find a font for box texts, keeps its
// configuration for the life of the process; LeakSanitizer would report that
// at exit in every test that paints text.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
