#include "WebGate.h"

#include <httplib.h>
#include <strings.h>

#include <cstdint>

namespace {

using webrequest::refuse;

bool anyAddress(const std::string& address) {
  return address == "0.0.0.0" || address == "::";
}

}  // namespace

WebGate::WebGate(const std::string& address, int port, const RouteTable& routes)
    : routes_(routes),
      urlHost_(anyAddress(address)                      ? "127.0.0.1"
               : address.find(':') != std::string::npos ? "[" + address + "]"
                                                        : address),
      port_(port),
      access_(anyAddress(address) ? "127.0.0.1" : address, port, WebAccess::newToken()) {}

std::string WebGate::url() const {
  return "http://" + urlHost_ + ":" + std::to_string(port_) + "/?token=" + access_.token();
}

void WebGate::installOn(httplib::Server& server) const {
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    using Handled = httplib::Server::HandlerResponse;
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    if (!access_.hostAllowed(req.get_header_value("Host"))) {
      refuse(res, 403, "this page answers only to " + urlHost_ + " or localhost");
      return Handled::Handled;
    }
    const auto check =
        access_.checkToken(req.get_header_value("Authorization"), req.get_param_value("token"),
                           req.get_header_value("Cookie"));
    if (check == WebAccess::TokenCheck::kMissing) {
      refuse(res, 401, "a token is needed: open the address qeno-host printed");
      return Handled::Handled;
    }
    if (check == WebAccess::TokenCheck::kWrong) {
      refuse(res, 403, "wrong token: open the address qeno-host printed");
      return Handled::Handled;
    }
    const std::string methods = routes_.methodsOf(req.path);
    if (!methods.empty() && methods.find(req.method) == std::string::npos) {
      refuse(res, 405, req.method + " is not taken here; " + methods + " is");
      res.set_header("Allow", methods);
      return Handled::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      if (!access_.originAllowed(req.get_header_value("Origin"),
                                 req.get_header_value("Sec-Fetch-Site"))) {
        refuse(res, 403, "changes are taken only from the editor page itself");
        return Handled::Handled;
      }
      if (!WebAccess::isJsonMediaType(req.get_header_value("Content-Type"))) {
        refuse(res, 415, "changes are sent as application/json");
        return Handled::Handled;
      }
      const bool chunked =
          ::strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") == 0;
      if (!chunked && !req.has_header("Content-Length")) {
        refuse(res, 411, "a change needs its length (Content-Length)");
        return Handled::Handled;
      }
      if (!chunked &&
          req.get_header_value<std::uint64_t>("Content-Length") > routes_.bodyLimitOf(req.path)) {
        refuse(res, 413, "request body too large");
        return Handled::Handled;
      }
    }
    if (req.has_param("token")) res.set_header("Set-Cookie", access_.cookie());
    return Handled::Unhandled;
  });
  server.set_error_handler([](const httplib::Request& /*req*/, httplib::Response& res) {
    if (!res.body.empty()) return;
    const std::string reason = res.status == 413 ? "request body too large"
                               : res.status == 404
                                   ? "no such page"
                                   : "request refused (" + std::to_string(res.status) + ")";
    refuse(res, res.status, reason);
  });
}
