#include "Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace qeno::loopback {

using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int remaining(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool canBindLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(port);
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return bound;
}

TcpClient::~TcpClient() {
  close();
}

bool TcpClient::tryConnect(int port) {
  close();
  eof_ = reset_ = false;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  close();
  return false;
}

bool TcpClient::connect(int port, int timeoutMs) {
  return waitUntil([&] { return tryConnect(port); }, timeoutMs);
}

bool TcpClient::send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string TcpClient::readSome(int timeoutMs) {
  std::string out;
  pollfd entry{fd_, POLLIN, 0};
  if (::poll(&entry, 1, timeoutMs) <= 0) return out;
  char buffer[4096];
  ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n > 0) out.assign(buffer, static_cast<std::size_t>(n));
  if (n == 0) eof_ = true;
  if (n < 0 && errno == ECONNRESET) reset_ = true;
  return out;
}

std::string TcpClient::readAll(int timeoutMs) {
  std::string out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  while (fd_ >= 0) {
    pollfd entry{fd_, POLLIN, 0};
    int ready = ::poll(&entry, 1, remaining(deadline));
    if (ready <= 0) break;
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) eof_ = true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ECONNRESET) reset_ = true;
    break;
  }
  return out;
}

void TcpClient::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void TcpClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TcpClient::abort() {
  if (fd_ < 0) return;
  linger zero{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &zero, sizeof zero);
  close();
}

}  // namespace qeno::loopback
