#include "JSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "LingeringCloser.h"
#include "ListenSocket.h"
#include "ListenerProbe.h"
#include "SocketCensus.h"
#include "SocketHandle.h"
#include "SocketLedger.h"

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is readable, the deadline passes or a signal interrupts
// (retried). Returns true when readable (or hung up).
bool waitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, remainingMs(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

// ---- JSocket

JSocket::JSocket(const JSocket& other) : JObject(other), handle_(other.sharedHandle()) {}

JSocket& JSocket::operator=(const JSocket& other) {
  if (this != &other) setHandle(other.sharedHandle());
  return *this;
}

JSocket::~JSocket() = default;

std::shared_ptr<SocketHandle> JSocket::sharedHandle() const {
  std::lock_guard<std::mutex> hold(lock_);
  return handle_;
}

void JSocket::setHandle(std::shared_ptr<SocketHandle> handle) {
  std::shared_ptr<SocketHandle> old;
  {
    std::lock_guard<std::mutex> hold(lock_);
    old = std::move(handle_);
    handle_ = std::move(handle);
  }
}

void JSocket::close() {
  std::shared_ptr<SocketHandle> h;
  bool released = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // A listener that no copy and no thread holds can have no accept to
    // wake: releasing it closes it. Copies are made under lock_ or from
    // another holder, so a count of one cannot grow meanwhile.
    released =
        handle_ && handle_->kind() == SocketHandle::Kind::kListener && handle_.use_count() == 1;
    h = released ? std::move(handle_) : handle_;
  }
  if (h && !released) h->close();
}

void JSocket::closeGracefully() {
  std::shared_ptr<SocketHandle> h = sharedHandle();
  if (!h || h->isClosed()) return;
  // This socket lets go of the connection; the closer ends it, so the
  // caller can listen again without waiting for the peer.
  setHandle(nullptr);
  LingeringCloser::instance().add(
      std::move(h), Clock::now() + std::chrono::milliseconds(SocketSettings::current().lingerMs));
}

void JSocket::closeGracefullyAndBindNextListener(const JServerSocket& listener) {
  std::shared_ptr<SocketHandle> h = sharedHandle();
  std::shared_ptr<SocketHandle> waitingOn = listener.sharedHandle();
  if (!h || h->isClosed()) return;
  if (!waitingOn || waitingOn->isClosed()) return closeGracefully();
  setHandle(nullptr);
  if (!h->shutdownOutput()) return;
  // While the peer reads and hangs up: the socket of the listen after
  // listener's.
  prepareSpareListener(waitingOn->localPort());
  const SocketSettings settings = SocketSettings::current();
  const Clock::time_point now = Clock::now();
  const Clock::time_point quitWaiting =
      now + std::chrono::milliseconds(std::min(settings.acceptWaitMs, settings.lingerMs));
  // A peer that reads to end of stream closes within microseconds; waiting
  // for that here spares the closer thread a wake-up, and the listener wakes
  // this wait as soon as a client is waiting or the listener is closed.
  char scratch[4096];
  while (Clock::now() < quitWaiting) {
    std::array<pollfd, 2> entries{pollfd{h->fd(), POLLIN, 0}, pollfd{waitingOn->fd(), POLLIN, 0}};
    const int ready = ::poll(entries.data(), entries.size(), remainingMs(quitWaiting));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || h->isClosed()) break;
    if (entries[0].revents != 0) {
      ssize_t got = 0;
      do {
        got = ::recv(h->fd(), scratch, sizeof scratch, MSG_DONTWAIT);
      } while (got > 0 || (got < 0 && errno == EINTR));
      // The peer's end of stream or an error: the connection is done, and
      // dropping the last hold closes it.
      if (got == 0 || errno != EAGAIN) return;
    }
    if (entries[1].revents != 0) break;
  }
  LingeringCloser::instance().add(std::move(h), now + std::chrono::milliseconds(settings.lingerMs),
                                  true);
}

bool JSocket::isClosed() const {
  std::shared_ptr<SocketHandle> h = sharedHandle();
  return !h || h->isClosed();
}

int JSocket::handle() const {
  std::shared_ptr<SocketHandle> h = sharedHandle();
  return h ? h->fd() : -1;
}

// ---- JServerSocket

struct JServerSocket::Info {
  explicit Info(int requestedPort) : port(requestedPort) {}
  const int port;
  std::mutex lock;  // guards error, boundPort
  std::string error;
  int boundPort = 0;
};

JServerSocket::JServerSocket(int port) : info_(std::make_shared<Info>(port)) {}

JServerSocket::JServerSocket(const JServerSocket& other) : JSocket(other), info_(other.info()) {}

JServerSocket& JServerSocket::operator=(const JServerSocket& other) {
  if (this != &other) {
    JSocket::operator=(other);
    std::shared_ptr<Info> incoming = other.info();
    std::lock_guard<std::mutex> hold(infoLock_);
    info_ = std::move(incoming);
  }
  return *this;
}

JServerSocket::~JServerSocket() = default;

std::shared_ptr<JServerSocket::Info> JServerSocket::info() const {
  std::lock_guard<std::mutex> hold(infoLock_);
  return info_;
}

namespace {

std::mutex& listenLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

int JServerSocket::listen(int backlog) {
  std::shared_ptr<Info> in = info();
  if (!in) return 0;
  auto fail = [&](const std::string& why) {
    {
      std::lock_guard<std::mutex> hold(in->lock);
      in->error = why;
    }
    SocketSettings::notifyListen(in->port, why);
    return 0;
  };
  if (in->port < 0 || in->port > 65535) {
    return fail("port " + std::to_string(in->port) + " is outside 0..65535");
  }
  const std::string address = SocketSettings::current().bindAddress;

  ListenAddress where;
  std::string badAddress;
  if (!resolveListenAddress(address, in->port, where, badAddress)) return fail(badAddress);

  std::lock_guard<std::mutex> oneAtATime(listenLock());  // so two listens here cannot share
  // A listener of this process on the port: with port sharing the kernel
  // would let a second one in.
  if (in->port != 0 && SocketCensus::listeners(in->port) > 0) {
    return fail(std::strerror(EADDRINUSE));
  }
  int boundPort = 0;
  PortSharing sharing = PortSharing::kUnchecked;
  const int fd = openListener(where, in->port, backlog, boundPort, sharing);
  if (fd < 0) return fail(std::strerror(-fd));

  {
    std::lock_guard<std::mutex> hold(in->lock);
    in->error.clear();
    in->boundPort = boundPort;
  }
  setHandle(std::make_shared<SocketHandle>(fd, SocketHandle::Kind::kListener, boundPort));
  SocketLedger::setSharing(boundPort, sharing);
  LingeringCloser::instance().listening(boundPort);
  SocketSettings::notifyListen(in->port, std::string());
  return 1;
}

int JServerSocket::accept(JSocket& client) {
  std::shared_ptr<SocketHandle> h = sharedHandle();
  if (!h || h->isClosed()) return 0;
  const SocketSettings settings = SocketSettings::current();
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(settings.acceptWaitMs);
  // The listener does not block: a client already waiting is taken without
  // a poll first, which is the usual case when clients follow each other.
  for (;;) {
    int fd = ::accept4(h->fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      client.setHandle(
          std::make_shared<SocketHandle>(fd, SocketHandle::Kind::kConnection, h->localPort()));
      return 1;
    }
    if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) return 0;
    if (errno == EAGAIN && (!waitReadable(h->fd(), deadline) || h->isClosed())) {
      dropSpareListener();
      return 0;
    }
  }
}

int JServerSocket::getLocalPort() const {
  std::shared_ptr<Info> in = info();
  if (!in || isClosed()) return 0;
  std::lock_guard<std::mutex> hold(in->lock);
  return in->boundPort;
}

int JServerSocket::getPort() const {
  std::shared_ptr<Info> in = info();
  return in ? in->port : 0;
}

std::string JServerSocket::lastError() const {
  std::shared_ptr<Info> in = info();
  if (!in) return "not configured";
  std::lock_guard<std::mutex> hold(in->lock);
  return in->error;
}
