#include "LingeringCloser.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "JComponent.h"
#include "SocketHandle.h"
#include "SocketLedger.h"

LingeringCloser& LingeringCloser::instance() {
  static LingeringCloser closer;
  return closer;
}

// The thread starts with the first listen, not with the first slow peer, so
// the process's thread count settles at once.
LingeringCloser::LingeringCloser()
    : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), thread_([this] {
        // Only an allocation can fail in run(); the closer takes up its work
        // again rather than leave connections unclosed.
        for (;;) {
          try {
            run();
            return;
          } catch (...) {
            JComponent::debugCurrentException("closer thread restarted after an exception");
          }
        }
      }) {}

LingeringCloser::~LingeringCloser() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  for (Entry& entry : incoming_) entry.handle->close();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void LingeringCloser::add(std::shared_ptr<SocketHandle> handle, Clock::time_point deadline,
                          bool endOfStreamSent) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) {
      handle->close();
      return;
    }
    SocketLedger::lingering(*handle);
    const Clock::time_point now = Clock::now();
    if (!endOfStreamSent) held_.emplace_back(handle->localPort(), handle);
    incoming_.push_back(
        Entry{std::move(handle), deadline, now + kEndOfStreamHold, endOfStreamSent});
    ++count_;
  }
  wake();
}

void LingeringCloser::listening(int port) {
  std::vector<std::shared_ptr<SocketHandle>> due;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto onPort = [port](const auto& h) { return h.first == port; };
    for (auto& h : held_) {
      if (onPort(h)) due.push_back(h.second);
    }
    held_.erase(std::remove_if(held_.begin(), held_.end(), onPort), held_.end());
  }
  for (auto& handle : due) handle->shutdownOutput();
}

int LingeringCloser::pending() const {
  std::lock_guard<std::mutex> hold(lock_);
  return count_;
}

void LingeringCloser::wake() const {
  uint64_t one = 1;
  while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void LingeringCloser::run() {
  std::vector<Entry> waiting;
  std::vector<pollfd> fds;
  char scratch[4096];
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stopping_) break;
      for (Entry& entry : incoming_) waiting.push_back(std::move(entry));
      incoming_.clear();
    }
    while (waiting.size() > kMostPending) {
      waiting.front().handle->close();
      waiting.erase(waiting.begin());
    }
    const Clock::time_point now = Clock::now();
    Clock::time_point soonest = now + std::chrono::hours(1);
    fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
    for (const Entry& entry : waiting) {
      fds.push_back(pollfd{entry.handle->fd(), POLLIN, 0});
      soonest = std::min(soonest, entry.deadline);
      if (!entry.endOfStreamSent) soonest = std::min(soonest, entry.endOfStreamDue);
    }
    const auto waitMs = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(soonest - now).count() + 1);
    int ready =
        ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(waitMs, 60000)));
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      uint64_t counter = 0;
      while (::read(wakeFd_, &counter, sizeof counter) < 0 && errno == EINTR) {
      }
    }
    const Clock::time_point after = Clock::now();
    for (Entry& entry : waiting) {
      if (!entry.endOfStreamSent && after >= entry.endOfStreamDue) {
        entry.handle->shutdownOutput();
        entry.endOfStreamSent = true;
      }
    }
    std::vector<Entry> still;
    still.reserve(waiting.size());
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      Entry& entry = waiting[i];
      bool done = entry.handle->isClosed() || after >= entry.deadline;
      if (!done && fds[i + 1].revents != 0) {
        for (;;) {
          ssize_t got = ::recv(entry.handle->fd(), scratch, sizeof scratch, MSG_DONTWAIT);
          if (got > 0) continue;
          if (got < 0 && errno == EINTR) continue;
          // Drained for now (EAGAIN), or the peer's end of stream or an error.
          done = !(got < 0 && errno == EAGAIN);
          break;
        }
      }
      if (done) {
        entry.handle->close();
      } else {
        still.push_back(std::move(entry));
      }
    }
    waiting.swap(still);
    std::lock_guard<std::mutex> hold(lock_);
    count_ = static_cast<int>(waiting.size() + incoming_.size());
    // Forget held ends of stream of connections that are done.
    held_.erase(std::remove_if(held_.begin(), held_.end(),
                               [](const auto& h) { return h.second->isClosed(); }),
                held_.end());
  }
  for (Entry& entry : waiting) entry.handle->close();
}
