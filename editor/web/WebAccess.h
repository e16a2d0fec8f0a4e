#pragma once

#include <string>

// Who may use the editor page: a request must come for this server's own
// address (no other name may resolve to it), carry the run's token, and a
// change must come from the page itself.
class WebAccess {
 public:
  // listenAddress is the numeric address the page is served on, port its port.
  WebAccess(std::string listenAddress, int port, std::string token);

  // A fresh random token of 256 bits, as 64 hex digits.
  static std::string newToken();

  // Whether the Host header names a loopback name or the listen address, with
  // this port (or none, when the port is 80).
  [[nodiscard]] bool hostAllowed(const std::string& hostHeader) const;
  // Whether a request with this Origin (empty when the header was absent)
  // and Sec-Fetch-Site header (likewise) may change the graph.
  [[nodiscard]] bool originAllowed(const std::string& origin, const std::string& fetchSite) const;

  enum class TokenCheck { kMissing, kWrong, kGood };
  // Checks the first token given: an Authorization Bearer header, the token
  // query parameter, or the cookie.
  [[nodiscard]] TokenCheck checkToken(const std::string& authorization,
                                      const std::string& queryToken,
                                      const std::string& cookieHeader) const;

  [[nodiscard]] const std::string& token() const { return token_; }
  // The cookie that carries the token after the first visit. Its name holds
  // the port: cookies are kept per host, not per port, and each qeno-host
  // running here keeps its own.
  [[nodiscard]] std::string cookie() const;
  [[nodiscard]] std::string cookieName() const;

  // Whether a Content-Type names JSON: application/json, parameters allowed.
  static bool isJsonMediaType(const std::string& contentType);

 private:
  [[nodiscard]] bool nameAllowed(const std::string& name) const;
  [[nodiscard]] bool tokenMatches(const std::string& given) const;

  std::string listenAddress_;
  int port_;
  std::string token_;
};
