#include "SocketHandle.h"

#include "SocketCensus.h"

#include <sys/socket.h>
#include <unistd.h>

SocketHandle::SocketHandle(int fd, Kind kind, int localPort)
    : fd_(fd), kind_(kind), localPort_(localPort) {
  SocketCensus::opened(*this);
}

SocketHandle::~SocketHandle() {
  if (!closed_) SocketCensus::closed(*this);
  if (fd_ >= 0) ::close(fd_);
}

void SocketHandle::close() {
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_) return;
  closed_ = true;
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  SocketCensus::closed(*this);
}

bool SocketHandle::shutdownOutput() {
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_ || fd_ < 0) return false;
  ::shutdown(fd_, SHUT_WR);
  return true;
}
