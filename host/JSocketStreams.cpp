#include "JSocketStreams.h"

#include <utility>

#include "SocketHandle.h"

JSocketStream::JSocketStream(const JSocketStream& other) : JReference(other) {
  std::lock_guard<std::mutex> hold(other.lock_);
  handle_ = other.handle_;
}

JSocketStream& JSocketStream::operator=(const JSocketStream& other) {
  if (this == &other) return *this;
  std::shared_ptr<SocketHandle> incoming;
  {
    std::lock_guard<std::mutex> hold(other.lock_);
    incoming = other.handle_;
  }
  std::shared_ptr<SocketHandle> old;
  {
    std::lock_guard<std::mutex> hold(lock_);
    old = std::move(handle_);
    handle_ = std::move(incoming);
  }
  return *this;
}

JSocketStream::~JSocketStream() = default;

JSocketStream::operator int() const {
  std::lock_guard<std::mutex> hold(lock_);
  return handle_ ? handle_->fd() : -1;
}
