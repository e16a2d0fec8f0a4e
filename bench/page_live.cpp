// page_live: one timed run of load over many Qeno Server ports, with or
// without an editor page at work. The load: several client threads at once,
// each with its own share of the ports (so no two clients meet at one
// server), one connection per request, as fast as the servers answer. With
// --page, meanwhile: the page's event stream is read as it comes, an edit (a
// move or a property set) is posted every --edit-ms, and GET /api/graph is
// timed every 250 ms. A probe sends a request with a unique text every
// --probe-ms to the first --probes ports in turn, which the load leaves alone (so no later
// request replaces the text before the page could show it); the time from its
// reply reaching the client to the event stream first showing that text is
// its visibility delay (never shown counts as slowest of all). Every
// --sample-th request of the load carries a unique text too: how many of
// those the page ever shows.
//   page_live --ports-file F [--clients 8] [--seconds 10] [--page --page-port P
//             --token T] [--probes 32] [--probe-ms 20] [--sample 20] [--edit-ms 100] [--label L]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "BenchSocket.h"

namespace {

using bench::connectTo;
using bench::readToEnd;
using bench::sendAll;
using Clock = std::chrono::steady_clock;
constexpr const char* kMarker = "qs";  // a sampled request's text: qs<id>

// -1 refused (retry), 0 failed, 1 answered; replied is when the reply's first
// bytes arrived.
int request(int port, const std::string& text, Clock::time_point& replied) {
  const int fd = connectTo(port);
  if (fd < 0) return errno == ECONNREFUSED ? -1 : 0;
  if (!sendAll(fd, text)) {
    ::close(fd);
    return 0;
  }
  std::string reply;
  char buffer[256];
  for (;;) {
    pollfd one{fd, POLLIN, 0};
    if (::poll(&one, 1, 5000) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ECONNRESET && reply.empty()) {
      ::close(fd);
      return -1;  // queued as the listener closed: turned away
    }
    if (n <= 0) break;
    if (reply.empty()) replied = Clock::now();
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return reply.find(",x") != std::string::npos ? 1 : 0;
}

struct Sample {
  long id;
  Clock::time_point replied;
};

struct Load {
  long ok = 0;
  long errors = 0;
  long retries = 0;
  std::vector<Sample> samples;
};

// Requests to ports first, first + stride, ... in turn until done, pauseMs
// apart.
void load(const std::vector<int>& ports, int first, int stride, int sample, int pauseMs,
          std::atomic<long>& nextId, const std::atomic<bool>& done, Load& tally) {
  std::size_t at = static_cast<std::size_t>(first);
  long count = 0;
  while (!done) {
    const int port = ports[at];
    at += static_cast<std::size_t>(stride);
    if (at >= ports.size()) at = static_cast<std::size_t>(first);
    const bool sampled = ++count % sample == 0;
    const long id = sampled ? nextId.fetch_add(1) : -1;
    const std::string text = sampled ? kMarker + std::to_string(id) + "\r\n" : "hi\r\n";
    Clock::time_point replied;
    int outcome = -1;
    for (int attempt = 0; attempt < 2000 && outcome < 0; ++attempt) {
      outcome = request(port, text, replied);
      if (outcome < 0) {
        ++tally.retries;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    if (outcome <= 0) {
      ++tally.errors;
      continue;
    }
    ++tally.ok;
    if (sampled) tally.samples.push_back({id, replied});
  }
}

std::string httpHead(int port, const std::string& method, const std::string& path,
                     const std::string& token, const std::string& body) {
  std::string head = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                     "\r\nAuthorization: Bearer " + token + "\r\n";
  if (!body.empty()) {
    head +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return head + "Connection: close\r\n\r\n" + body;
}

// One HTTP exchange on its own connection; true when the answer was a 200.
bool http(int port, const std::string& method, const std::string& path, const std::string& token,
          const std::string& body = {}) {
  const int fd = connectTo(port);
  if (fd < 0) return false;
  const std::string reply =
      sendAll(fd, httpHead(port, method, path, token, body)) ? readToEnd(fd) : std::string();
  ::close(fd);
  return reply.rfind("HTTP/1.1 200", 0) == 0;
}

struct Stream {
  long states = 0;
  long changes = 0;
  long logs = 0;
  long bytes = 0;
  std::unordered_map<long, Clock::time_point> seen;  // sampled id -> first shown
};

// Notes every sampled text a data line shows.
void scan(const std::string& line, Clock::time_point now, Stream& stream) {
  for (std::size_t at = line.find(kMarker); at != std::string::npos;
       at = line.find(kMarker, at + 2)) {
    std::size_t end = at + 2;
    long id = 0;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') {
      id = id * 10 + (line[end++] - '0');
    }
    if (end > at + 2) stream.seen.emplace(id, now);
  }
}

// Reads the page's event stream until done; the chunked framing's own lines
// are skipped like any other line that is not an event's.
void readEvents(int port, const std::string& token, const std::atomic<bool>& done, Stream& stream) {
  const int fd = connectTo(port);
  if (fd < 0 || !sendAll(fd, httpHead(port, "GET", "/api/events", token, {}))) {
    std::fprintf(stderr, "page_live: cannot open the event stream\n");
    if (fd >= 0) ::close(fd);
    return;
  }
  std::string pending;
  char chunk[65536];
  while (!done) {
    pollfd one{fd, POLLIN, 0};
    if (::poll(&one, 1, 50) <= 0) continue;
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) break;
    const Clock::time_point now = Clock::now();
    stream.bytes += got;
    pending.append(chunk, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end = pending.find('\n'); end != std::string::npos;
         end = pending.find('\n', start)) {
      const std::string_view line(pending.data() + start, end - start);
      if (line == "event: state") ++stream.states;
      if (line == "event: change") ++stream.changes;
      if (line == "event: log") ++stream.logs;
      if (line.rfind("data: ", 0) == 0) scan(std::string(line), now, stream);
      start = end + 1;
    }
    pending.erase(0, start);
  }
  ::close(fd);
}

double percentile(std::vector<double>& values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"load over many Qeno Server ports, with or without an editor page at work"};
  std::string portsFile;
  int clients = 8;
  double seconds = 10;
  bool page = false;
  int pagePort = 0;
  std::string token;
  int sample = 20;
  int probes = 32;
  int probeMs = 20;
  int editMs = 100;
  int boxes = 256;
  std::string label = "run";
  app.add_option("--ports-file", portsFile, "the servers' ports, one a line")->required();
  app.add_option("--clients", clients, "client threads at once")->check(CLI::Range(1, 256));
  app.add_option("--seconds", seconds, "length of the run");
  app.add_flag("--page", page, "read the event stream, edit and time /api/graph meanwhile");
  app.add_option("--page-port", pagePort, "the page's port");
  app.add_option("--token", token, "the page's token");
  app.add_option("--probes", probes, "ports kept for the probe")->check(CLI::PositiveNumber);
  app.add_option("--probe-ms", probeMs, "between two probes")->check(CLI::PositiveNumber);
  app.add_option("--sample", sample, "every how many requests one is traced")
      ->check(CLI::PositiveNumber);
  app.add_option("--edit-ms", editMs, "between two edits")->check(CLI::PositiveNumber);
  app.add_option("--edit-boxes", boxes, "edits go to boxes 0 to this - 1")
      ->check(CLI::PositiveNumber);
  app.add_option("--label", label, "name of the run in the result line");
  CLI11_PARSE(app, argc, argv);
  std::vector<int> ports;
  std::ifstream file(portsFile);
  for (int port = 0; file >> port;) ports.push_back(port);
  if (static_cast<int>(ports.size()) < clients + probes) {
    std::fprintf(stderr, "page_live: fewer ports than clients and probes in %s\n",
                 portsFile.c_str());
    return 2;
  }
  const std::vector<int> probed(ports.begin(), ports.begin() + probes);
  ports.erase(ports.begin(), ports.begin() + probes);

  std::atomic<bool> loadDone{false};
  std::atomic<bool> pageDone{false};
  Stream stream;
  std::vector<double> graphMs;
  long edits = 0;
  long editsFailed = 0;
  std::vector<std::thread> pageThreads;
  if (page) {
    pageThreads.emplace_back(readEvents, pagePort, token, std::cref(pageDone), std::ref(stream));
    pageThreads.emplace_back([&] {
      while (!loadDone) {
        const auto start = Clock::now();
        const bool ok = http(pagePort, "GET", "/api/graph", token);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        graphMs.push_back(ok ? ms : std::numeric_limits<double>::infinity());
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
    });
    pageThreads.emplace_back([&] {
      // Alternates a move and a property set, over the boxes in turn, on a
      // fixed beat (an edit that took longer is followed at once).
      auto next = Clock::now();
      for (long n = 0; !loadDone; ++n) {
        const long box = (n / 2) % boxes;
        const std::string module = "{\"module\": " + std::to_string(box);
        const bool ok =
            n % 2 == 0
                ? http(pagePort, "POST", "/api/move", token,
                       module + ", \"x\": " + std::to_string(400 * (box % 16) + (n / 2) % 7) +
                           ", \"y\": " + std::to_string(300 * (box / 16)) + "}")
                : http(pagePort, "POST", "/api/property", token,
                       module + ", \"name\": \"key8offset\", \"value\": " +
                           std::to_string((n / 2) % 2) + "}");
        ++edits;
        editsFailed += ok ? 0 : 1;
        next += std::chrono::milliseconds(editMs);
        std::this_thread::sleep_until(next);
      }
    });
    // The whole state arrives first; the load starts once the page is open.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }

  std::atomic<long> nextId{0};
  std::vector<Load> tallies(static_cast<std::size_t>(clients));
  Load probe;
  std::vector<std::thread> loaders;
  const auto began = Clock::now();
  for (int c = 0; c < clients; ++c) {
    loaders.emplace_back(load, std::cref(ports), c, clients, sample, 0, std::ref(nextId),
                         std::cref(loadDone), std::ref(tallies[static_cast<std::size_t>(c)]));
  }
  loaders.emplace_back(load, std::cref(probed), 0, 1, 1, probeMs, std::ref(nextId),
                       std::cref(loadDone), std::ref(probe));
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  loadDone = true;
  for (auto& t : loaders) t.join();
  const double took = std::chrono::duration<double>(Clock::now() - began).count();
  // Texts served at the very end get a second to show.
  if (page) std::this_thread::sleep_for(std::chrono::seconds(1));
  pageDone = true;
  for (auto& t : pageThreads) t.join();

  Load all;
  for (const Load& t : tallies) {
    all.ok += t.ok;
    all.errors += t.errors;
    all.retries += t.retries;
    all.samples.insert(all.samples.end(), t.samples.begin(), t.samples.end());
  }
  std::printf("%s: %ld requests in %.1f s from %d clients over %zu ports: %.0f requests/s\n",
              label.c_str(), all.ok, took, clients, ports.size(),
              static_cast<double>(all.ok) / took);
  std::string extra;
  if (page) {
    // Delays of samples in ms, never shown as infinite; how many never showed.
    auto delaysOf = [&](const std::vector<Sample>& samples, long& missed) {
      std::vector<double> delays;
      missed = 0;
      for (const Sample& s : samples) {
        auto found = stream.seen.find(s.id);
        if (found == stream.seen.end()) {
          ++missed;
          delays.push_back(std::numeric_limits<double>::infinity());
          continue;
        }
        const double ms =
            std::chrono::duration<double, std::milli>(found->second - s.replied).count();
        delays.push_back(std::max(0.0, ms));  // shown before the reply came: at once
      }
      return delays;
    };
    long probeMissed = 0;
    long loadMissed = 0;
    std::vector<double> delays = delaysOf(probe.samples, probeMissed);
    delaysOf(all.samples, loadMissed);
    const double graphMax = graphMs.empty() ? 0 : *std::max_element(graphMs.begin(), graphMs.end());
    char text[640];
    std::snprintf(text, sizeof text,
                  " probes=%zu probe_errors=%ld probes_missed=%ld seen_p50_ms=%.1f "
                  "seen_p99_ms=%.1f seen_max_ms=%.1f samples=%zu missed=%ld states=%ld "
                  "changes=%ld logs=%ld stream_mb=%.1f graphs=%zu graph_p50_ms=%.1f "
                  "graph_max_ms=%.1f edits=%ld edits_failed=%ld",
                  probe.samples.size(), probe.errors, probeMissed, percentile(delays, 0.5),
                  percentile(delays, 0.99), percentile(delays, 1.0), all.samples.size(), loadMissed,
                  stream.states, stream.changes, stream.logs,
                  static_cast<double>(stream.bytes) / 1e6, graphMs.size(), percentile(graphMs, 0.5),
                  graphMax, edits, editsFailed);
    extra = text;
  }
  std::printf("RESULT label=%s clients=%d ports=%zu ok=%ld errors=%ld retries=%ld rps=%.1f%s\n",
              label.c_str(), clients, ports.size(), all.ok, all.errors, all.retries,
              static_cast<double>(all.ok) / took, extra.c_str());
  return all.errors == 0 ? 0 : 1;
}
