#pragma once

#include <memory>
#include <mutex>

#include "JSocket.h"

// Host object that stands for an operating-system resource; operator int
// gives its descriptor.
class JReference : public JObject {
 public:
  [[nodiscard]] const char* className() const override { return "JReference"; }
  virtual explicit operator int() const { return -1; }
};

// A stream over an accepted socket. It holds the socket's connection, so the
// descriptor stays valid while the stream lives.
class JSocketStream : public JReference {
 public:
  JSocketStream() = default;
  explicit JSocketStream(const JSocket& socket) : handle_(socket.sharedHandle()) {}
  JSocketStream(const JSocketStream& other);
  JSocketStream& operator=(const JSocketStream& other);
  ~JSocketStream() override;

  // The socket's descriptor, or -1 when the stream is not open.
  explicit operator int() const override;

 private:
  mutable std::mutex lock_;  // guards handle_ itself
  std::shared_ptr<JSocket::SystemSocket> handle_;
};

class JSocketInputStream : public JSocketStream {
 public:
  using JSocketStream::JSocketStream;
  [[nodiscard]] const char* className() const override { return "JSocketInputStream"; }
  [[nodiscard]] JObject* clone() const override { return new JSocketInputStream(*this); }
};

class JSocketOutputStream : public JSocketStream {
 public:
  using JSocketStream::JSocketStream;
  [[nodiscard]] const char* className() const override { return "JSocketOutputStream"; }
  [[nodiscard]] JObject* clone() const override { return new JSocketOutputStream(*this); }
};
