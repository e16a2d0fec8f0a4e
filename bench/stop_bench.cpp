// stop_bench: how long QenoServer::stop takes while listening, with a
// connected silent client, and in the middle of an exchange.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "JComponent.h"
#include "Loopback.h"
#include "QenoServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using qeno::loopback::freePort;
using qeno::loopback::TcpClient;
using qeno::loopback::waitUntil;

enum class State { kListening, kConnectedSilent, kMidExchange };

// Microseconds that one stop() took in the given state, or -1.
long measure(State state) {
  QenoServer server;
  server.port = freePort();
  server.enableValue = 1;
  server.serveRequested = 1;
  server.startServer(server.hostName, server.port, server.url);
  if (!waitUntil([&] { return server.serverState == ServerState::kListening; })) return -1;
  TcpClient client;
  if (state != State::kListening) {
    if (!client.connect(server.port) ||
        !waitUntil([&] { return server.serverState == ServerState::kConnected; })) {
      return -1;
    }
    if (state == State::kMidExchange) {
      client.send("ab");
      if (!waitUntil([&] {
            JCriticalSection::Guard hold(server.outputLock);
            return server.textValues[ServerPorts::kTextOutput - ServerPorts::kFirstTextOutput] ==
                   "ab";
          })) {
        return -1;
      }
    }
  }
  const Clock::time_point began = Clock::now();
  server.stop();
  const long us =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began).count();
  return us;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  JComponent::debugSilence();
  const struct {
    State state;
    const char* name;
  } states[] = {{State::kListening, "listening"},
                {State::kConnectedSilent, "connected, silent client"},
                {State::kMidExchange, "mid-exchange"}};
  for (const auto& s : states) {
    std::vector<long> times;
    for (int i = 0; i < runs; ++i) {
      long us = measure(s.state);
      if (us < 0) {
        std::fprintf(stderr, "stop_bench: could not reach state '%s'\n", s.name);
        return 1;
      }
      times.push_back(us);
    }
    std::sort(times.begin(), times.end());
    std::printf("stop while %-26s p50 %6ld us  max %6ld us  (%d runs)\n", s.name,
                times[times.size() / 2], times.back(), runs);
  }
  return 0;
}
