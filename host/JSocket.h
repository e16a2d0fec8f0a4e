#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "JObject.h"

class JServerSocket;
class SocketHandle;

// Host-wide socket settings; the host application sets them before servers
// start, and each listen or accept reads the current values.
struct SocketSettings {
  std::string bindAddress = "127.0.0.1";  // numeric IPv4 or IPv6 address
  int acceptWaitMs = 100;                 // how long one accept() waits for a client
  int idleTimeoutMs = 0;                  // a receive or send idle this long fails; 0: no limit
  int lingerMs = 1000;                    // bound on closeGracefully()'s wait for the peer

  static SocketSettings current();
  static void apply(const SocketSettings& settings);
  // Told of every listen, on the listening thread: the port asked for, and
  // an empty error or the reason it failed.
  static void setListenObserver(std::function<void(int port, const std::string& error)> observer);
};

// A TCP socket. Copies share one connection: assigning a temporary to a member
// hands the connection over without closing it. Thread-safe: close() may come
// from any thread while another thread uses the socket.
class JSocket : public JObject {
 public:
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
  // listener: end of stream goes out at once, and this thread waits for the
  // peer to finish (at most SocketSettings::acceptWaitMs) until a client
  // waits on listener or listener closes; only a slower peer is left to the
  // closer.
  void closeGracefully(const JServerSocket& listener);
  [[nodiscard]] bool isClosed() const;
  // Operating-system descriptor, or -1 when not open.
  [[nodiscard]] int handle() const;

  [[nodiscard]] std::shared_ptr<SocketHandle> sharedHandle() const;

 protected:
  void setHandle(std::shared_ptr<SocketHandle> handle);

 private:
  friend class JServerSocket;

  mutable std::mutex lock_;  // guards handle_ itself
  std::shared_ptr<SocketHandle> handle_;
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
