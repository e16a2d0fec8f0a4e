#pragma once

#include <memory>
#include <string>

#include "RouteTable.h"
#include "WebAccess.h"

namespace httplib {
class Server;
}

// The page's door: every request passes it before any route. It answers
// only to the page's own address and to loopback names, only with the
// run's token, takes changes only from the page itself, as JSON within the
// route's size limit, and puts the headers every answer carries.
class WebGate {
 public:
  // address is the numeric address the page is served on, port its port.
  WebGate(const std::string& address, int port, const RouteTable& routes);

  // Once, before the server serves.
  void installOn(httplib::Server& server) const;

  // The address to open, with the token.
  [[nodiscard]] std::string url() const;

 private:
  const RouteTable& routes_;
  std::string urlHost_;  // the host part of url()
  int port_;
  WebAccess access_;
};
