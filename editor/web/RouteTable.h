#pragma once

#include <cstddef>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "WebRequests.h"

namespace httplib {
class Server;
class ContentReader;
struct Request;
struct Response;
}  // namespace httplib

// Every route of the page and its API in one table: what the gate asks
// (which methods a path takes, how large its body may be) and what the
// server runs come from the same entries.
class RouteTable {
 public:
  using GetHandler = std::function<void(const httplib::Request&, httplib::Response&)>;
  using PostHandler = std::function<void(const httplib::Request&, httplib::Response&,
                                         const httplib::ContentReader&)>;

  // pattern is a regular expression the whole path must match.
  void get(const std::string& pattern, GetHandler handler);
  void post(const std::string& pattern, PostHandler handler,
            std::size_t bodyLimit = webrequest::kMaxBodyBytes);

  // "GET, HEAD", "POST", or an empty string for a path no route takes.
  [[nodiscard]] std::string methodsOf(const std::string& path) const;
  // The largest body a change to path may carry.
  [[nodiscard]] std::size_t bodyLimitOf(const std::string& path) const;

  // Hands every route to server. Once, before it serves.
  void installOn(httplib::Server& server) const;

 private:
  struct Route {
    std::string pattern;
    std::regex path;
    std::size_t bodyLimit = 0;  // POST only
    GetHandler onGet;
    PostHandler onPost;
  };
  std::vector<Route> routes_;
};
