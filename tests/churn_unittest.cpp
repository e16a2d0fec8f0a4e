// Start/stop churn on QenoServer instances: a thousand cycles of start, one
// real request, then stop, shutdown and destruction in a random order, some of
// them while a second client is in the middle of its request. Nothing may be
// left over: no worker thread, no descriptor.
//
// QENO_CHURN_CYCLES=N runs N cycles instead of 1000.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "JComponent.h"
#include "JSocket.h"
#include "JThread.h"
#include "QenoServer.h"
#include "Serving.h"
#include "TestSupport.h"

using qeno::test::freePort;
using qeno::test::ProcessCounts;
using qeno::test::TcpClient;
using qeno::test::waitUntil;

namespace {

// Shortens the host's accept wait, so that a shutdown, which leaves the
// listener open, ends its worker quickly; restores it afterwards.
class ShortAcceptWait {
 public:
  explicit ShortAcceptWait(int ms) : saved_(SocketSettings::current()) {
    SocketSettings settings = saved_;
    settings.acceptWaitMs = ms;
    SocketSettings::apply(settings);
  }
  ~ShortAcceptWait() { SocketSettings::apply(saved_); }
  ShortAcceptWait(const ShortAcceptWait&) = delete;
  ShortAcceptWait& operator=(const ShortAcceptWait&) = delete;

 private:
  const SocketSettings saved_;
};

// A thousand cycles write ten thousand debug lines; nobody reads them here.
class QuietDebug {
 public:
  QuietDebug() { JComponent::debugSilence(); }
  ~QuietDebug() { JComponent::debugToStderr(); }
  QuietDebug(const QuietDebug&) = delete;
  QuietDebug& operator=(const QuietDebug&) = delete;
};

enum Step { kStop, kShutdown, kDestroy };

// Every order of stop and shutdown, each possibly left out, then possibly the
// destruction: an instance that is not destroyed serves the next cycle.
const std::vector<std::vector<Step>> kEndings = {
    {kStop},
    {kShutdown},
    {kDestroy},
    {kStop, kShutdown},
    {kShutdown, kStop},
    {kStop, kDestroy},
    {kShutdown, kDestroy},
    {kStop, kShutdown, kDestroy},
    {kShutdown, kStop, kDestroy},
};

// Starts server and has it answer one real request.
void startAndServe(QenoServer& server, int reply) {
  qeno::test::startServing(server, reply);
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));
  TcpClient client;
  ASSERT_TRUE(client.connect(server.port));
  ASSERT_TRUE(client.send("request " + std::to_string(reply) + "\r\n"));
  ASSERT_EQ(client.readAll(), std::to_string(reply) + ",x");
}

}  // namespace

TEST(ChurnTest, StartServeAndStopInAnyOrderLeaveNoThreadOrDescriptorBehind) {
  const char* cyclesText = std::getenv("QENO_CHURN_CYCLES");
  const int cycles = cyclesText != nullptr && *cyclesText != '\0' ? std::atoi(cyclesText) : 1000;
  const unsigned seed = std::random_device{}();
  std::printf("churn: %d cycles, seed %u\n", cycles, seed);
  std::mt19937 random(seed);

  QuietDebug quiet;
  ShortAcceptWait shortWait(10);
  {
    // Helpers the host starts on first use stay for the process: a first
    // cycle is part of the baseline.
    QenoServer first;
    first.port = freePort();
    ASSERT_NO_FATAL_FAILURE(startAndServe(first, 0));
  }
  const ProcessCounts baseline = qeno::test::settledCounts();

  std::vector<JThread> workers;  // copies share the thread: each stays watchable
  std::unique_ptr<QenoServer> server;
  int midExchange = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    if (!server) {
      server = std::make_unique<QenoServer>();
      server->port = freePort();
    }
    ASSERT_NO_FATAL_FAILURE(startAndServe(*server, cycle));
    workers.push_back(server->worker);

    // A quarter of the endings come while a second client is half-way
    // through its request.
    TcpClient partial;
    if (std::uniform_int_distribution<int>(0, 3)(random) == 0) {
      ASSERT_TRUE(partial.connect(server->port));
      ASSERT_TRUE(partial.send("half a req"));
      ASSERT_TRUE(waitUntil([&] { return server->serverState == ServerState::kConnected; }));
      ++midExchange;
    }
    const std::vector<Step>& ending =
        kEndings[std::uniform_int_distribution<std::size_t>(0, kEndings.size() - 1)(random)];
    for (Step step : ending) {
      if (step == kStop) server->stop();
      if (step == kShutdown) server->shutdown();
      if (step == kDestroy) server.reset();
    }
    if (partial.fd() >= 0) {
      partial.readAll(5000);
      EXPECT_TRUE(partial.eof() || partial.reset());
    }
  }
  server.reset();

  // Destruction stops; a shutdown alone ends its worker within the accept wait.
  EXPECT_TRUE(waitUntil(
      [&] {
        return std::none_of(workers.begin(), workers.end(),
                            [](const JThread& worker) { return worker.isRunning(); });
      },
      10000));
  workers.clear();
  ProcessCounts now;
  EXPECT_TRUE(qeno::test::countsReturnTo(baseline, now))
      << describe(baseline) << " before, " << describe(now) << " after";
  std::printf("churn: %d endings came mid-exchange\n", midExchange);
}
