#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "JObject.h"
#include "SocketSettings.h"

class JServerSocket;

// A TCP socket. Copies share one connection: assigning a temporary to a member
// hands the connection over without closing it. Thread-safe: close() may come
// from any thread while another thread uses the socket.
class JSocket : public JObject {
 public:
  // The operating-system socket that copies share; what it holds is the
  // host's business.
  class SystemSocket;

  JSocket() = default;
  JSocket(const JSocket& other);
  JSocket& operator=(const JSocket& other);
  ~JSocket() override;

  [[nodiscard]] const char* className() const override { return "JSocket"; }
  [[nodiscard]] JObject* clone() const override { return new JSocket(*this); }

  // Shuts the connection down and wakes any thread blocked on it. Closing a
  // closed or never opened socket does nothing. A listener nobody else holds
  // is released at once.
  virtual void close();
  // Sends end of stream after the data already sent and lets go of the
  // connection: the host's closer then waits (at most
  // SocketSettings::lingerMs) for the peer to finish, discarding what it
  // still sends, and closes. Closing with unread input would make the system
  // reset the connection, which can cost the peer the reply it has not read
  // yet. Returns at once.
  void closeGracefully();
  // closeGracefully() for a connection whose port listens again on
  // listener; it also binds, for this thread's next listen on the port, the
  // socket that listen takes. End of stream goes out at once; while the peer
  // reads it, the socket is bound (not listening, so no client gets in
  // through it; it is closed when an accept waits in vain or the thread
  // ends); then this thread waits for the peer to finish (at most
  // SocketSettings::acceptWaitMs) until a client waits on listener or
  // listener closes. Only a slower peer is left to the closer.
  void closeGracefullyAndBindNextListener(const JServerSocket& listener);
  [[nodiscard]] bool isClosed() const;
  // Operating-system descriptor, or -1 when not open.
  [[nodiscard]] int handle() const;

  [[nodiscard]] std::shared_ptr<SystemSocket> sharedHandle() const;

 protected:
  void setHandle(std::shared_ptr<SystemSocket> handle);

 private:
  friend class JServerSocket;

  mutable std::mutex lock_;  // guards handle_ itself
  std::shared_ptr<SystemSocket> handle_;
};

// A listening TCP socket on SocketSettings::bindAddress.
class JServerSocket : public JSocket {
 public:
  JServerSocket() = default;
  explicit JServerSocket(int port);
  JServerSocket(const JServerSocket& other);
  JServerSocket& operator=(const JServerSocket& other);
  ~JServerSocket() override;

  [[nodiscard]] const char* className() const override { return "JServerSocket"; }
  [[nodiscard]] JObject* clone() const override { return new JServerSocket(*this); }

  // Binds the port (SO_REUSEADDR) and listens. Returns 1 on success, 0 on
  // failure (port outside 0..65535, port in use, no permission...), with the
  // reason in lastError(). Port 0 asks the system for a free port.
  int listen(int backlog);
  // Waits up to SocketSettings::acceptWaitMs for a client. Returns 1 with the
  // connection in client, or 0: no client in time, or the socket was closed.
  int accept(JSocket& client);
  // The port actually bound (useful with port 0), or 0 when not listening.
  [[nodiscard]] int getLocalPort() const;
  [[nodiscard]] int getPort() const;
  [[nodiscard]] std::string lastError() const;

 private:
  struct Info;
  [[nodiscard]] std::shared_ptr<Info> info() const;
  mutable std::mutex infoLock_;  // guards info_ itself
  std::shared_ptr<Info> info_;   // port and last error; shared by copies
};
