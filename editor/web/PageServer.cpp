#include "PageServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

// Set by the logger, which the library calls on the request's own thread
// after it wrote the response.
thread_local bool tResponseCloses = false;

int msUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Whether fd is ready for events (or has ended) within ms.
bool waitFor(int fd, short events, int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    pollfd one{fd, events, 0};
    const int n = ::poll(&one, 1, msUntil(deadline));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

bool hasHead(const std::string& bytes) {
  return bytes.find("\r\n\r\n") != std::string::npos;
}

void addressOf(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? ::getpeername(fd, any, &length) : ::getsockname(fd, any, &length)) != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

// One request on a connection: first the bytes the gate already read, then
// the socket, all of it by one deadline, so a body sent slowly ends too.
class RequestStream final : public httplib::Stream {
 public:
  RequestStream(int fd, std::string bytes, Clock::time_point readBy,
                std::chrono::milliseconds writeTimeout)
      : fd_(fd), bytes_(std::move(bytes)), readBy_(readBy), writeMs_(writeTimeout.count()) {}

  bool is_readable() const override {
    return at_ < bytes_.size() || waitFor(fd_, POLLIN, msUntil(readBy_));
  }
  // False once the other end has gone, so a long response (the event
  // stream) ends as soon as its page does.
  bool is_writable() const override {
    pollfd one{fd_, POLLOUT | POLLRDHUP, 0};
    int n = 0;
    do {
      n = ::poll(&one, 1, static_cast<int>(writeMs_));
    } while (n < 0 && errno == EINTR);
    return n > 0 && (one.revents & POLLOUT) != 0 &&
           (one.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
  }
  ssize_t read(char* ptr, size_t size) override {
    if (at_ == bytes_.size()) {
      bytes_.clear();
      at_ = 0;
      for (;;) {
        if (!waitFor(fd_, POLLIN, msUntil(readBy_))) return -1;
        char chunk[4096];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
          bytes_.assign(chunk, static_cast<std::size_t>(got));
          break;
        }
        if (got == 0) return 0;
        if (errno != EAGAIN && errno != EINTR) return -1;
      }
    }
    const std::size_t n = std::min(size, bytes_.size() - at_);
    std::memcpy(ptr, bytes_.data() + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    for (;;) {
      if (!waitFor(fd_, POLLOUT, static_cast<int>(writeMs_))) return -1;
      const ssize_t sent = ::send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) return sent;
      if (errno != EAGAIN && errno != EINTR) return -1;
    }
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    addressOf(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    addressOf(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

  // What was read beyond this request: the start of the next one.
  std::string leftover() const { return bytes_.substr(at_); }

 private:
  int fd_;
  std::string bytes_;
  std::size_t at_ = 0;
  Clock::time_point readBy_;
  std::int64_t writeMs_;
};

// Runs the library's accept loop's work at once on its own thread: the work
// is only to hand the connection to the gate.
class HandOver final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

}  // namespace

PageServer::PageServer(Limits limits) : limits_(limits) {
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  new_task_queue = [] { return new HandOver; };
  set_logger([](const httplib::Request& /*req*/, const httplib::Response& res) {
    tResponseCloses = res.get_header_value("Connection") == "close";
  });
  gate_ = std::thread([this] { runGate(); });
  for (int i = 0; i < limits_.threads; ++i) workers_.emplace_back([this] { runWorker(); });
}

PageServer::~PageServer() {
  closeAll();
  for (std::thread& worker : workers_) worker.join();
  gate_.join();
  for (Connection& left : ready_) ::close(left.fd);
  for (Connection& left : incoming_) ::close(left.fd);
  ::close(wake_);
}

void PageServer::widenBacklog() {
  const int fd = svr_sock_;
  if (fd >= 0) ::listen(fd, SOMAXCONN);
}

bool PageServer::process_and_close_socket(socket_t sock) {
  Connection connection;
  connection.fd = sock;
  connection.deadline = Clock::now() + limits_.head;
  admit(std::move(connection));
  return true;
}

void PageServer::admit(Connection connection) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (ending_) {
      ::close(connection.fd);
      return;
    }
    connection.order = ++admitted_;
    incoming_.push_back(std::move(connection));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

void PageServer::closeAll() {
  std::lock_guard<std::mutex> hold(lock_);
  ending_ = true;
  // Wakes workers blocked on a connection; each closes its own.
  for (int fd : serving_) ::shutdown(fd, SHUT_RDWR);
  readySignal_.notify_all();
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

void PageServer::runGate() {
  std::vector<Connection> waiting;  // this thread's own
  std::vector<pollfd> polled;
  for (;;) {
    polled.assign(1, pollfd{wake_, POLLIN, 0});
    Clock::time_point soonest = Clock::time_point::max();
    for (const Connection& c : waiting) {
      polled.push_back(pollfd{c.fd, POLLIN, 0});
      soonest = std::min(soonest, c.deadline);
    }
    const int timeout = soonest == Clock::time_point::max() ? -1 : msUntil(soonest);
    if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) break;

    std::vector<Connection> kept;
    std::vector<Connection> headed;
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      Connection& c = waiting[i];
      bool keep = now < c.deadline;
      if (keep && polled[i + 1].revents != 0) {
        char chunk[4096];
        const ssize_t got = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
          c.bytes.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          keep = false;
        }
        if (keep && hasHead(c.bytes)) {
          headed.push_back(std::move(c));
          continue;
        }
        keep = keep && c.bytes.size() <= limits_.longestHead;
      }
      if (keep) {
        kept.push_back(std::move(c));
      } else {
        ::close(c.fd);
      }
    }
    waiting.swap(kept);

    std::uint64_t count = 0;
    if ((polled[0].revents & POLLIN) != 0) {
      [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (ending_) {
        for (Connection& c : headed) ::close(c.fd);
        break;
      }
      for (Connection& c : incoming_) {
        if (hasHead(c.bytes)) {
          headed.push_back(std::move(c));
        } else {
          waiting.push_back(std::move(c));
        }
      }
      incoming_.clear();
      for (Connection& c : headed) ready_.push_back(std::move(c));
    }
    if (!headed.empty()) readySignal_.notify_all();
    if (waiting.size() > limits_.waiting) {
      // The oldest have had the longest to send a head: they go first.
      std::sort(waiting.begin(), waiting.end(),
                [](const Connection& a, const Connection& b) { return a.order > b.order; });
      for (std::size_t i = limits_.waiting; i < waiting.size(); ++i) ::close(waiting[i].fd);
      waiting.resize(limits_.waiting);
    }
  }
  for (Connection& c : waiting) ::close(c.fd);
}

void PageServer::runWorker() {
  for (;;) {
    Connection connection;
    {
      std::unique_lock<std::mutex> hold(lock_);
      readySignal_.wait(hold, [this] { return ending_ || !ready_.empty(); });
      if (ending_) return;
      connection = std::move(ready_.front());
      ready_.pop_front();
      serving_.insert(connection.fd);
    }
    serve(std::move(connection));
  }
}

void PageServer::serve(Connection connection) {
  bool open = true;
  while (open) {
    RequestStream stream(connection.fd, std::move(connection.bytes), Clock::now() + limits_.request,
                         limits_.write);
    bool closed = false;
    tResponseCloses = false;
    open = process_request(stream, false, closed, [](httplib::Request& /*req*/) {});
    open = open && !closed && !tResponseCloses;
    connection.bytes = stream.leftover();
    // A request sent right behind this one is answered at once.
    if (open && hasHead(connection.bytes)) continue;
    break;
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    serving_.erase(connection.fd);
    if (ending_) open = false;
  }
  if (!open) {
    ::close(connection.fd);
    return;
  }
  connection.deadline = Clock::now() + limits_.kept;
  admit(std::move(connection));
}
