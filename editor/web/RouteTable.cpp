#include "RouteTable.h"

#include <httplib.h>

void RouteTable::get(const std::string& pattern, GetHandler handler) {
  routes_.push_back(Route{pattern, std::regex(pattern), 0, std::move(handler), nullptr});
}

void RouteTable::post(const std::string& pattern, PostHandler handler, std::size_t bodyLimit) {
  routes_.push_back(Route{pattern, std::regex(pattern), bodyLimit, nullptr, std::move(handler)});
}

std::string RouteTable::methodsOf(const std::string& path) const {
  bool get = false;
  bool post = false;
  for (const Route& route : routes_) {
    if (!std::regex_match(path, route.path)) continue;
    get = get || route.onGet != nullptr;
    post = post || route.onPost != nullptr;
  }
  if (get && post) return "GET, HEAD, POST";
  if (get) return "GET, HEAD";
  if (post) return "POST";
  return {};
}

std::size_t RouteTable::bodyLimitOf(const std::string& path) const {
  for (const Route& route : routes_) {
    if (route.onPost && std::regex_match(path, route.path)) return route.bodyLimit;
  }
  return webrequest::kMaxBodyBytes;
}

void RouteTable::installOn(httplib::Server& server) const {
  for (const Route& route : routes_) {
    if (route.onGet) {
      server.Get(route.pattern, route.onGet);
    } else {
      server.Post(route.pattern, route.onPost);
    }
  }
}
