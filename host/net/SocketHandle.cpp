#include "SocketHandle.h"

#include <sys/socket.h>
#include <unistd.h>

#include "JThread.h"
#include "SocketLedger.h"

SocketHandle::SystemSocket(int fd, Kind kind, int localPort)
    : fd_(fd), kind_(kind), localPort_(localPort), owner_(JThread::currentTarget()) {
  SocketLedger::opened(*this);
}

SocketHandle::~SystemSocket() {
  if (!closed_) SocketLedger::closed(*this);
  if (fd_ >= 0) ::close(fd_);
}

void SocketHandle::close() {
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_) return;
  closed_ = true;
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  SocketLedger::closed(*this);
}

bool SocketHandle::shutdownOutput() {
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_ || fd_ < 0) return false;
  ::shutdown(fd_, SHUT_WR);
  return true;
}
