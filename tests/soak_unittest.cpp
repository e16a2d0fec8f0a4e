// The real qeno-host process under a mixed, randomised load from several
// client threads: well-formed requests among hostile clients (closing at once,
// resetting, sending nothing, zero bytes, a megabyte, hundreds of chunks, a
// byte at a time, binary and terminal escapes, staying silent). The process
// must answer every well-formed request with exactly its reply, never die,
// give back its descriptors and threads once the load stops, and never let a
// client's bytes reach its terminal raw.
//
// By default the load runs for about 20 seconds. QENO_SOAK_SECONDS=N runs it
// for N seconds instead (scripts/soak.sh runs ten minutes); QENO_SOAK_SEED=S
// repeats a run's choice of clients (the seed is printed).

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "HostProcess.h"
#include "TestSupport.h"

using qeno::test::HostProcess;
using qeno::test::ProcessCounts;
using qeno::test::TcpClient;
using qeno::test::waitUntil;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReply = 4711;
constexpr int kClientThreads = 4;
constexpr int kClientTimeoutSeconds = 1;
constexpr int kDefaultSeconds = 20;
// A refused connect is retried this long: the listener is closed while any
// client, the silent one included, holds the only slot.
constexpr int kConnectRetryMs = 20000;
constexpr int kReadMs = 15000;
constexpr int kFloodBytes = 1 << 20;
constexpr int kManyChunkCount = 450;  // beyond the 400 receives of one exchange

long long msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

int envInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

void noDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

enum Kind {
  kWellFormed,
  kByteAtATime,
  kCloseAtOnce,
  kResetAtOnce,
  kNothing,
  kZeroBytes,
  kFlood,
  kManyChunks,
  kBinary,
  kPartialThenReset,
  kSilent,
  kKindCount
};
constexpr const char* kKindNames[kKindCount] = {
    "well-formed", "byte at a time", "close at once", "reset at once",  "nothing", "zero bytes",
    "1 MB flood",  "450 chunks",     "binary",        "partial, reset", "silent"};
// How often each kind is picked, out of the sum.
constexpr int kWeights[kKindCount] = {40, 8, 6, 6, 6, 6, 4, 4, 8, 6, 2};

// The client side of the load: several threads, each picking a random client
// after another until told to stop.
class Load {
 public:
  Load(int port, unsigned seed, int maxClients)
      : port_(port), seed_(seed), maxClients_(maxClients) {}

  void start() {
    for (int t = 0; t < kClientThreads; ++t) threads_.emplace_back([this, t] { run(t); });
  }
  void stop() {
    stop_ = true;
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }
  [[nodiscard]] bool exhausted() const { return started_ >= maxClients_; }

  [[nodiscard]] std::vector<std::string> failures() const {
    std::lock_guard<std::mutex> hold(lock_);
    return failures_;
  }
  [[nodiscard]] std::vector<std::string> served() const {
    std::lock_guard<std::mutex> hold(lock_);
    return served_;
  }
  [[nodiscard]] std::vector<std::string> dropped() const {
    std::lock_guard<std::mutex> hold(lock_);
    return dropped_;
  }
  [[nodiscard]] std::string summary() const {
    std::string text;
    for (int k = 0; k < kKindCount; ++k) {
      text += std::string(kKindNames[k]) + " " + std::to_string(counts_[k].load()) + "; ";
    }
    return text + "well-formed answered " + std::to_string(served().size()) +
           ", dropped from the backlog " + std::to_string(dropped().size()) +
           ", silent ones left half-connected by a full backlog " + std::to_string(orphaned_);
  }

 private:
  void run(int thread) {
    std::mt19937 random(seed_ + static_cast<unsigned>(thread));
    std::discrete_distribution<int> pick(std::begin(kWeights), std::end(kWeights));
    int sequence = 0;
    while (!stop_ && started_++ < maxClients_) {
      const int kind = pick(random);
      ++counts_[kind];
      switch (kind) {
        case kWellFormed:
        case kByteAtATime:
          wellFormed(random, thread, sequence, kind == kByteAtATime);
          break;
        default:
          hostile(random, static_cast<Kind>(kind));
      }
    }
  }

  void fail(const std::string& what) {
    std::lock_guard<std::mutex> hold(lock_);
    if (failures_.size() < 20) failures_.push_back(what);
  }

  // Connects, retrying refusals: false only when the load stops or no
  // listener came back within the bound.
  bool connect(TcpClient& client) {
    return waitUntil([&] { return stop_ || client.tryConnect(port_); }, kConnectRetryMs) &&
           client.fd() >= 0;
  }

  static std::string printable(std::mt19937& random, int length) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789 ";
    std::uniform_int_distribution<int> pick(0, sizeof kChars - 2);
    std::string text(static_cast<std::size_t>(length), ' ');
    for (char& c : text) c = kChars[pick(random)];
    return text;
  }

  // A request that must get exactly the reply. A connection can be taken into
  // the listener's backlog just before the server closes the listener for the
  // client it accepted; it is then reset without ever being served. Such a
  // request is tried again under a new id, and the test checks afterwards that
  // the server never saw it.
  void wellFormed(std::mt19937& random, int thread, int& sequence, bool byteAtATime) {
    static const char* const kEnds[] = {"\r\n", "\n\n", "\r\r", "\n\r"};
    for (int attempt = 0; attempt < 50 && !stop_; ++attempt) {
      const std::string id =
          "req-" + std::to_string(thread) + "-" + std::to_string(sequence++) + ";";
      TcpClient client;
      if (!connect(client)) {
        if (!stop_) fail(id + " found no listener for " + std::to_string(kConnectRetryMs) + " ms");
        return;
      }
      noDelay(client.fd());
      const std::string rest =
          printable(random, std::uniform_int_distribution<int>(0, 200)(random)) +
          kEnds[std::uniform_int_distribution<int>(0, 3)(random)];
      // The id goes in one piece so the server's output names it.
      bool sent = client.send(id);
      if (byteAtATime) {
        for (char c : rest) sent = sent && client.send(std::string(1, c));
      } else {
        sent = sent && client.send(rest);
      }
      const std::string reply = client.readAll(kReadMs);
      if (reply == std::to_string(kReply) + ",x" && client.eof() && !client.reset()) {
        record(served_, id);
        return;
      }
      if (reply.empty() && (client.reset() || !sent)) {
        record(dropped_, id);
        continue;
      }
      fail(id + " got '" + reply + "'" + (client.eof() ? " then end of stream" : "") +
           (client.reset() ? " then a reset" : "") + (sent ? "" : ", send failed"));
      return;
    }
  }

  void record(std::vector<std::string>& into, const std::string& id) {
    std::lock_guard<std::mutex> hold(lock_);
    into.push_back(id);
  }

  void hostile(std::mt19937& random, Kind kind) {
    TcpClient client;
    if (!connect(client)) return;
    switch (kind) {
      case kCloseAtOnce:
        client.close();
        return;
      case kResetAtOnce:
        client.abort();
        return;
      case kPartialThenReset:
        client.send(printable(random, 20));
        client.abort();
        return;
      case kNothing:
        break;
      case kZeroBytes:
        client.send(std::string("\0\0\0ab\0\r\n\0", 10));
        break;
      case kFlood: {
        std::string flood = printable(random, kFloodBytes);
        client.send(flood + "\r\n");
        break;
      }
      case kManyChunks:
        noDelay(client.fd());
        for (int i = 0; i < kManyChunkCount && !stop_; ++i) {
          if (!client.send("x")) break;
          // Pacing, so that most sends arrive in receives of their own.
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        client.send("\r\n");
        break;
      case kBinary: {
        // Escape sequences that would clear, retitle, recolour, query or
        // reset a terminal, among random bytes.
        static const char* const kEscapes[] = {"\033[2J", "\033]0;owned\007", "\033[31m",
                                               "\2336n",  "\b\b\177",         "\033c"};
        std::string bytes;
        std::uniform_int_distribution<int> byte(0, 255);
        const int length = std::uniform_int_distribution<int>(1, 3000)(random);
        while (static_cast<int>(bytes.size()) < length) {
          if (byte(random) < 16) {
            bytes += kEscapes[std::uniform_int_distribution<int>(0, 5)(random)];
          } else {
            bytes += static_cast<char>(byte(random));
          }
        }
        client.send(bytes);
        break;
      }
      case kSilent: {
        // The server drops it after its client timeout; nothing is sent.
        std::string reply = client.readAll(kClientTimeoutSeconds * 1000 + kReadMs);
        if (!client.eof() && !client.reset()) {
          // A handshake that completes while the listener's queue is full
          // leaves the system half a connection, dropped without a word
          // when the listener closes: the client is never told. A byte sent
          // now is answered with a reset; a connection the server holds
          // would take it in silence.
          client.send("?");
          reply += client.readAll(kReadMs);
          if (!client.reset()) fail("a silent client was never dropped");
          if (client.reset() && reply.empty()) ++orphaned_;
        }
        expectReplyOrNothing("silent", reply);
        return;
      }
      default:
        return;
    }
    client.shutdownWrite();
    const std::string reply = client.readAll(kReadMs);
    if (!client.eof() && !client.reset()) {
      fail(std::string(kKindNames[kind]) + ": the connection did not end in time");
    }
    expectReplyOrNothing(kKindNames[kind], reply);
  }

  // A hostile client that was served gets the reply; one dropped from the
  // backlog gets nothing. Anything else is wrong.
  void expectReplyOrNothing(const std::string& kind, const std::string& reply) {
    if (!reply.empty() && reply != std::to_string(kReply) + ",x") {
      fail(kind + " got '" + reply + "'");
    }
  }

  const int port_;
  const unsigned seed_;
  const int maxClients_;
  std::atomic<bool> stop_{false};
  std::atomic<int> started_{0};
  std::atomic<int> orphaned_{0};  // silent clients the server never had
  std::atomic<int> counts_[kKindCount] = {};
  std::vector<std::thread> threads_;
  mutable std::mutex lock_;  // guards failures_, served_, dropped_
  std::vector<std::string> failures_;
  std::vector<std::string> served_;
  std::vector<std::string> dropped_;
};

// The host's standard output, read as it comes so that a long run holds no
// more than the start of one line: counts the request ids the server
// published (the "received" lines that begin with "req-", ids up to their
// ';'), and finds the first byte a terminal would act on: ESC or any control
// byte but '\n'.
class OutputScan {
 public:
  explicit OutputScan(int port) : prefix_("received (port " + std::to_string(port) + "): ") {}

  void feed(const std::string& text) {
    for (char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (rawControl_.empty() && ((byte < 0x20 && byte != '\n') || byte == 0x7f)) {
        char where[64];
        std::snprintf(where, sizeof where, "byte 0x%02x at offset %llu", byte,
                      static_cast<unsigned long long>(offset_));
        rawControl_ = where;
      }
      ++offset_;
      if (c == '\n') {
        endLine();
      } else if (line_.size() < prefix_.size() + 64) {
        line_ += c;
      }
    }
  }
  [[nodiscard]] int timesSeen(const std::string& id) const {
    auto it = seen_.find(id);
    return it == seen_.end() ? 0 : it->second;
  }
  [[nodiscard]] const std::string& rawControl() const { return rawControl_; }

 private:
  void endLine() {
    if (line_.compare(0, prefix_.size() + 4, prefix_ + "req-") == 0) {
      const std::size_t semicolon = line_.find(';', prefix_.size());
      if (semicolon != std::string::npos) {
        ++seen_[line_.substr(prefix_.size(), semicolon + 1 - prefix_.size())];
      }
    }
    line_.clear();
  }

  const std::string prefix_;
  std::string line_;
  std::map<std::string, int> seen_;
  std::string rawControl_;
  unsigned long long offset_ = 0;
};

}  // namespace

TEST(SoakTest, MixedHostileLoadGetsExactRepliesAndLeavesNothingBehind) {
  const int seconds = std::max(1, envInt("QENO_SOAK_SECONDS", kDefaultSeconds));
  const char* seedText = std::getenv("QENO_SOAK_SEED");
  const auto seed = seedText != nullptr && *seedText != '\0'
                        ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10))
                        : std::random_device{}();
  // About 50 clients a second at most; the time bound usually comes first.
  const int maxClients = seconds * 50;
  std::printf("soak: %d s, at most %d clients, seed %u\n", seconds, maxClients, seed);

  // Commands go to the host through a pipe: a host that died must fail the
  // test, not end it with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  const int port = qeno::test::freePortBetween(2000, 9999);
  ASSERT_NE(port, 0);
  HostProcess host;
  ASSERT_TRUE(host.start(
      QENO_HOST_PATH, {"--port", std::to_string(port), "--reply", std::to_string(kReply), "--quiet",
                       "--client-timeout", std::to_string(kClientTimeoutSeconds)}));
  ASSERT_TRUE(host.waitForOutput("listening on 127.0.0.1 port " + std::to_string(port), 20000))
      << host.error();
  {
    // Helpers the host starts on first use stay for the process: a first
    // request is part of the baseline.
    TcpClient client;
    ASSERT_TRUE(client.connect(port, kConnectRetryMs));
    ASSERT_TRUE(client.send("first\r\n"));
    ASSERT_EQ(client.readAll(kReadMs), std::to_string(kReply) + ",x");
  }
  const std::string pid = std::to_string(host.pid());
  const ProcessCounts baseline = qeno::test::settledCounts(pid);
  ASSERT_GT(baseline.descriptors, 0);
  ASSERT_GT(baseline.threads, 0);

  OutputScan scan(port);
  Load load(port, seed, maxClients);
  const Clock::time_point began = Clock::now();
  load.start();
  bool alive = true;
  Clock::time_point nextStatus = began;
  while (alive && Clock::now() < began + std::chrono::seconds(seconds) && !load.exhausted()) {
    // The console keeps working under load.
    if (Clock::now() >= nextStatus) {
      host.writeLine("status");
      nextStatus += std::chrono::seconds(1);
    }
    scan.feed(host.takeOutput());
    alive = host.wait(100) == -1;
  }
  load.stop();
  const Clock::time_point stopped = Clock::now();
  ASSERT_TRUE(alive) << "qeno-host ended with status " << host.wait(0) << ": " << host.error();
  std::printf("soak: %lld ms of load: %s\n", msBetween(began, stopped), load.summary().c_str());
  for (const std::string& failure : load.failures()) ADD_FAILURE() << failure;
  EXPECT_GT(load.served().size(), 0U);

  // Every connection has ended: the server is back to its listener and worker.
  ProcessCounts now;
  EXPECT_TRUE(qeno::test::countsReturnTo(baseline, now, pid))
      << describe(baseline) << " before, " << describe(now) << " after";
  std::printf("soak: settled %lld ms after the load\n", msBetween(stopped, Clock::now()));

  {
    TcpClient client;
    ASSERT_TRUE(client.connect(port, kConnectRetryMs));
    ASSERT_TRUE(client.send("after the load\r\n"));
    EXPECT_EQ(client.readAll(kReadMs), std::to_string(kReply) + ",x");
  }
  scan.feed(host.takeOutput());
  EXPECT_TRUE(waitUntil(
      [&] {
        host.writeLine("status");
        return host.waitForOutput("server state 1 (listening)", 200);
      },
      10000));

  host.signal(SIGTERM);
  ASSERT_EQ(host.wait(20000), 0) << host.error();
  scan.feed(host.takeOutput());
  EXPECT_EQ(scan.rawControl(), "");
  const std::string error = host.error();
  EXPECT_EQ(error.find('\x1b'), std::string::npos);
  EXPECT_EQ(error, "");
  // The server saw each answered request once, and never one that was reset
  // in the backlog.
  for (const std::string& id : load.served()) EXPECT_EQ(scan.timesSeen(id), 1) << id;
  for (const std::string& id : load.dropped()) {
    EXPECT_EQ(scan.timesSeen(id), 0) << id << " was served, yet reset";
  }
}
