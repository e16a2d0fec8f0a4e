// stop_bench: how long QenoServer::stop takes while listening, with a
// connected silent client, and in the middle of an exchange.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "JComponent.h"
#include "QenoServer.h"

namespace {

using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

int connectTo(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int attempt = 0; attempt < 5000; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return -1;
}

enum class State { kListening, kConnectedSilent, kMidExchange };

// Microseconds that one stop() took in the given state, or -1.
long measure(State state) {
  QenoServer server;
  server.port = freePort();
  server.enableValue = 1;
  server.serveRequested = 1;
  server.startServer(server.hostName, server.port, server.url);
  if (!waitUntil([&] { return server.serverState == 1; })) return -1;
  int client = -1;
  if (state != State::kListening) {
    client = connectTo(server.port);
    if (client < 0 || !waitUntil([&] { return server.serverState == 2; })) return -1;
    if (state == State::kMidExchange) {
      ::send(client, "ab", 2, MSG_NOSIGNAL);
      if (!waitUntil([&] {
            std::lock_guard<std::mutex> hold(server.outputLock);
            return server.textValues[9] == "ab";
          })) {
        return -1;
      }
    }
  }
  const Clock::time_point began = Clock::now();
  server.stop();
  const long us =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began).count();
  if (client >= 0) ::close(client);
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
