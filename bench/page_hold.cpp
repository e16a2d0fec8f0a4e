// How fast the editor page answers an authenticated GET /api/graph while
// many other connections hold on to it: some idle (connected, sending
// nothing), some trickling a request head one byte at a time. Connections the
// page closes are opened again at once, so the counts hold throughout.
//   page_hold --port P --token T [--idle 150] [--slow 20] [--gap-ms 3000]
//             [--requests 40]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchSocket.h"

namespace {

using bench::connectTo;
using bench::readToEnd;
using bench::sendAll;
using Clock = std::chrono::steady_clock;

struct Held {
  int fd = -1;
  std::size_t sent = 0;  // bytes of the head sent so far
};

// Keeps idle and slow connections open until done, counting reopenings.
void hold(int port, int idleCount, int slowCount, int gapMs, const std::atomic<bool>& done,
          std::atomic<long>& reopened, std::atomic<int>& open) {
  static const std::string kHead = "GET /api/graph HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  std::vector<Held> held(static_cast<std::size_t>(idleCount + slowCount));
  auto nextByte = Clock::now();
  while (!done) {
    int count = 0;
    for (Held& h : held) {
      if (h.fd < 0) {
        h.fd = connectTo(port);
        h.sent = 0;
        ++reopened;
      }
      count += h.fd >= 0 ? 1 : 0;
    }
    open = count;
    std::vector<pollfd> polled;
    for (const Held& h : held) polled.push_back(pollfd{h.fd, POLLIN | POLLRDHUP, 0});
    ::poll(polled.data(), polled.size(), 50);
    for (std::size_t i = 0; i < held.size(); ++i) {
      if (held[i].fd >= 0 && polled[i].revents != 0) {
        ::close(held[i].fd);
        held[i].fd = -1;
      }
    }
    if (Clock::now() >= nextByte) {
      nextByte = Clock::now() + std::chrono::milliseconds(gapMs);
      for (std::size_t i = static_cast<std::size_t>(idleCount); i < held.size(); ++i) {
        Held& h = held[i];
        if (h.fd < 0) continue;
        const char byte = kHead[h.sent % kHead.size()];
        if (::send(h.fd, &byte, 1, MSG_NOSIGNAL) == 1) ++h.sent;
      }
    }
  }
  for (const Held& h : held) {
    if (h.fd >= 0) ::close(h.fd);
  }
}

// One whole request and its reply; the time taken, or a negative time when
// the reply was not a 200.
double timedGet(int port, const std::string& token) {
  const auto start = Clock::now();
  const int fd = connectTo(port);
  if (fd < 0) return -1;
  const std::string request = "GET /api/graph HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nAuthorization: Bearer " + token +
                              "\r\nConnection: close\r\n\r\n";
  const std::string reply = sendAll(fd, request) ? readToEnd(fd) : std::string();
  ::close(fd);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return reply.rfind("HTTP/1.1 200", 0) == 0 ? ms : -ms;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"the editor page's answer time while idle and slow connections hold on"};
  int port = 0;
  std::string token;
  int idle = 150;
  int slow = 20;
  int gapMs = 3000;
  int requests = 40;
  app.add_option("--port", port, "the page's port")->required();
  app.add_option("--token", token, "the page's token")->required();
  app.add_option("--idle", idle, "idle connections held");
  app.add_option("--slow", slow, "connections trickling a head");
  app.add_option("--gap-ms", gapMs, "between two bytes of a trickled head");
  app.add_option("--requests", requests, "timed requests");
  CLI11_PARSE(app, argc, argv);

  std::atomic<bool> done{false};
  std::atomic<long> reopened{0};
  std::atomic<int> open{0};
  std::thread holder(hold, port, idle, slow, gapMs, std::cref(done), std::ref(reopened),
                     std::ref(open));
  // Lets the held connections take whatever they can before the first request.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long reopenedBefore = reopened;
  std::vector<double> times;
  int failed = 0;
  int minOpen = idle + slow;
  for (int i = 0; i < requests; ++i) {
    minOpen = std::min(minOpen, open.load());
    const double ms = timedGet(port, token);
    if (ms < 0) ++failed;
    times.push_back(ms < 0 ? -ms : ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  const long reopenedDuring = reopened - reopenedBefore;
  done = true;
  holder.join();
  std::sort(times.begin(), times.end());
  const auto at = [&](double q) { return times[static_cast<std::size_t>(q * (times.size() - 1))]; };
  const long over = std::count_if(times.begin(), times.end(), [](double t) { return t > 250; });
  std::printf(
      "RESULT idle=%d slow=%d min_open=%d reopened=%ld requests=%zu failed=%d median_ms=%.1f "
      "p90_ms=%.1f max_ms=%.1f over_250ms=%ld\n",
      idle, slow, minOpen, reopenedDuring, times.size(), failed, at(0.5), at(0.9), times.back(),
      over);
  return failed == 0 ? 0 : 1;
}
