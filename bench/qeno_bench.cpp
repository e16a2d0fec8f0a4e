// qeno-bench: a load client for servers that speak the Qeno Server protocol.
// Each request is one connection: connect, send the request, read the reply
// to end of stream, close. A refused connection (or one reset before any
// reply) is retried after a short pause: a Qeno Server closes its listening
// socket while it serves a client.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
  int port = 8080;
  std::string address = "127.0.0.1";
  long requests = 10000;
  int concurrency = 1;
  std::string request = "hi\r\n";
  std::string expect;
  int retryPauseUs = 100;
  int maxRetries = 20000;
  int timeoutMs = 5000;
  std::string label = "run";
};

struct Tally {
  std::vector<int64_t> latenciesUs;
  long ok = 0;
  long errors = 0;
  long retries = 0;
  long wrong = 0;
  std::string firstError;
};

enum class Outcome { kOk, kRefused, kError };

// One request on one connection. On success reply holds what the server sent.
Outcome exchange(const Settings& s, const sockaddr_in& target, std::string& reply,
                 std::string& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return Outcome::kError;
  }
  auto fail = [&](const char* what) {
    error = std::string(what) + ": " + std::strerror(errno);
    ::close(fd);
    return Outcome::kError;
  };
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    if (errno == ECONNREFUSED) {
      ::close(fd);
      return Outcome::kRefused;
    }
    return fail("connect");
  }
  std::size_t sent = 0;
  while (sent < s.request.size()) {
    ssize_t n = ::send(fd, s.request.data() + sent, s.request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("send");
    sent += static_cast<std::size_t>(n);
  }
  reply.clear();
  char buffer[256];
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, s.timeoutMs);
    if (ready == 0) {
      errno = ETIMEDOUT;
      return fail("read");
    }
    if (ready < 0 && errno == EINTR) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      reply.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    // A connection still queued when the server closed its listening socket
    // is reset before any reply: the server turned it away, like a refusal.
    if (errno == ECONNRESET && reply.empty()) {
      ::close(fd);
      return Outcome::kRefused;
    }
    return fail("read");
  }
  ::close(fd);
  return Outcome::kOk;
}

void worker(const Settings& s, const sockaddr_in& target, std::atomic<long>& next, Tally& tally) {
  std::string reply;
  std::string error;
  while (next.fetch_add(1) < s.requests) {
    const Clock::time_point began = Clock::now();
    int attempts = 0;
    Outcome outcome;
    while ((outcome = exchange(s, target, reply, error)) == Outcome::kRefused &&
           attempts < s.maxRetries) {
      ++attempts;
      if (s.retryPauseUs > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(s.retryPauseUs));
    }
    tally.retries += attempts;
    if (outcome != Outcome::kOk) {
      ++tally.errors;
      if (tally.firstError.empty()) {
        tally.firstError = outcome == Outcome::kRefused ? "refused too often" : error;
      }
      continue;
    }
    tally.latenciesUs.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began).count());
    if (!s.expect.empty() && reply != s.expect) {
      ++tally.wrong;
      if (tally.firstError.empty()) tally.firstError = "unexpected reply '" + reply + "'";
    } else {
      ++tally.ok;
    }
  }
}

int64_t percentile(const std::vector<int64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  CLI::App app{"qeno-bench: connection-per-request load for a Qeno Server port", "qeno-bench"};
  app.add_option("--port", s.port, "Server port")->required()->check(CLI::Range(1, 65535));
  app.add_option("--address", s.address, "Server address (IPv4, loopback by default)");
  app.add_option("--requests,-n", s.requests, "Requests in all")->check(CLI::PositiveNumber);
  app.add_option("--concurrency,-c", s.concurrency, "Client threads")->check(CLI::Range(1, 256));
  app.add_option("--request", s.request, "Request text (escapes \\r \\n are understood)");
  app.add_option("--expect", s.expect, "Reply every request must get");
  app.add_option("--retry-pause-us", s.retryPauseUs, "Pause before retrying a refused connect")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--max-retries", s.maxRetries, "Refusals a request may meet before it fails");
  app.add_option("--timeout-ms", s.timeoutMs, "Longest wait for the reply");
  app.add_option("--label", s.label, "Name of the run in the result line");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "qeno-bench: %s (see --help)\n", e.what());
    return 2;
  }
  for (std::string* text : {&s.request, &s.expect}) {
    std::string out;
    for (std::size_t i = 0; i < text->size(); ++i) {
      if ((*text)[i] == '\\' && i + 1 < text->size() &&
          ((*text)[i + 1] == 'r' || (*text)[i + 1] == 'n')) {
        out += (*text)[++i] == 'r' ? '\r' : '\n';
      } else {
        out += (*text)[i];
      }
    }
    *text = out;
  }
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(s.port));
  if (::inet_pton(AF_INET, s.address.c_str(), &target.sin_addr) != 1) {
    std::fprintf(stderr, "qeno-bench: '%s' is not an IPv4 address\n", s.address.c_str());
    return 2;
  }

  std::atomic<long> next{0};
  std::vector<Tally> tallies(static_cast<std::size_t>(s.concurrency));
  const Clock::time_point began = Clock::now();
  std::vector<std::thread> threads;
  for (auto& tally : tallies) threads.emplace_back([&] { worker(s, target, next, tally); });
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

  Tally all;
  for (auto& t : tallies) {
    all.latenciesUs.insert(all.latenciesUs.end(), t.latenciesUs.begin(), t.latenciesUs.end());
    all.ok += t.ok;
    all.errors += t.errors;
    all.retries += t.retries;
    all.wrong += t.wrong;
    if (all.firstError.empty()) all.firstError = t.firstError;
  }
  std::sort(all.latenciesUs.begin(), all.latenciesUs.end());
  const double rate = seconds > 0 ? static_cast<double>(all.ok + all.wrong) / seconds : 0;
  const long stalls = std::count_if(all.latenciesUs.begin(), all.latenciesUs.end(),
                                    [](int64_t us) { return us >= 90000; });
  std::printf("%s: %ld requests in %.2f s from %d client(s): %.0f requests/s\n", s.label.c_str(),
              s.requests, seconds, s.concurrency, rate);
  std::printf("  latency us: p50 %lld  p90 %lld  p99 %lld  max %lld; over 90 ms: %ld\n",
              static_cast<long long>(percentile(all.latenciesUs, 0.50)),
              static_cast<long long>(percentile(all.latenciesUs, 0.90)),
              static_cast<long long>(percentile(all.latenciesUs, 0.99)),
              all.latenciesUs.empty() ? 0LL : static_cast<long long>(all.latenciesUs.back()),
              stalls);
  std::printf("  ok %ld  wrong replies %ld  errors %ld  retries %ld%s%s\n", all.ok, all.wrong,
              all.errors, all.retries,
              all.firstError.empty() ? "" : "  first problem: ", all.firstError.c_str());
  std::printf(
      "RESULT label=%s requests=%ld clients=%d ok=%ld wrong=%ld errors=%ld retries=%ld rps=%.1f "
      "p50_us=%lld p90_us=%lld p99_us=%lld max_us=%lld stalls=%ld\n",
      s.label.c_str(), s.requests, s.concurrency, all.ok, all.wrong, all.errors, all.retries, rate,
      static_cast<long long>(percentile(all.latenciesUs, 0.50)),
      static_cast<long long>(percentile(all.latenciesUs, 0.90)),
      static_cast<long long>(percentile(all.latenciesUs, 0.99)),
      all.latenciesUs.empty() ? 0LL : static_cast<long long>(all.latenciesUs.back()), stalls);
  return all.errors == 0 && all.wrong == 0 ? 0 : 1;
}
