#pragma once

#include <functional>
#include <string>

class JServerSocket;

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

 private:
  friend class JServerSocket;
  static void notifyListen(int port, const std::string& error);
};
