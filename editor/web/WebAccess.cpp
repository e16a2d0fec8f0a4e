#include "WebAccess.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <stdexcept>

namespace {

// Splits "name:port", "[v6]:port", "name" or "[v6]" into its parts; port is
// -1 when absent and 0 when malformed.
void splitHostPort(const std::string& text, std::string& name, int& port) {
  port = -1;
  std::string rest;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) {
      name.clear();
      return;
    }
    name = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else {
    const std::size_t colon = text.find(':');
    name = text.substr(0, colon);
    rest = colon == std::string::npos ? std::string() : text.substr(colon);
  }
  if (rest.empty()) return;
  port = 0;
  if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return;
  int value = 0;
  auto [end, problem] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), value);
  if (problem == std::errc() && end == rest.data() + rest.size()) port = value;
}

std::string lowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

WebAccess::WebAccess(std::string listenAddress, int port, std::string token)
    : listenAddress_(std::move(listenAddress)), port_(port), token_(std::move(token)) {}

std::string WebAccess::newToken() {
  std::array<unsigned char, 32> bytes{};
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("cannot draw a random token");
    got += static_cast<std::size_t>(n);
  }
  static const char* const kDigits = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) {
    token += kDigits[byte >> 4];
    token += kDigits[byte & 0xf];
  }
  return token;
}

bool WebAccess::nameAllowed(const std::string& name) const {
  const std::string lower = lowercase(name);
  return lower == "localhost" || lower == "127.0.0.1" || lower == "::1" ||
         lower == lowercase(listenAddress_);
}

bool WebAccess::hostAllowed(const std::string& hostHeader) const {
  std::string name;
  int port = 0;
  splitHostPort(hostHeader, name, port);
  if (name.empty() || !nameAllowed(name)) return false;
  return port == port_ || (port == -1 && port_ == 80);
}

bool WebAccess::originAllowed(const std::string& origin, const std::string& fetchSite) const {
  if (!fetchSite.empty() && fetchSite != "same-origin" && fetchSite != "none") return false;
  if (origin.empty()) return true;  // not a browser: the token is the guard
  const std::string scheme = "http://";
  if (origin.compare(0, scheme.size(), scheme) != 0) return false;
  return hostAllowed(origin.substr(scheme.size()));
}

bool WebAccess::tokenMatches(const std::string& given) const {
  // Compares every byte whatever the first difference, so timing tells nothing.
  if (given.size() != token_.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ token_[i]);
  }
  return difference == 0;
}

WebAccess::TokenCheck WebAccess::checkToken(const std::string& authorization,
                                            const std::string& queryToken,
                                            const std::string& cookieHeader) const {
  std::string given;
  bool present = false;
  const std::string bearer = "Bearer ";
  if (!authorization.empty()) {
    present = true;
    if (authorization.compare(0, bearer.size(), bearer) == 0)
      given = authorization.substr(bearer.size());
  } else if (!queryToken.empty()) {
    present = true;
    given = queryToken;
  } else {
    const std::string key = cookieName() + "=";
    std::size_t at = 0;
    while (at < cookieHeader.size()) {
      while (at < cookieHeader.size() && (cookieHeader[at] == ' ' || cookieHeader[at] == ';')) ++at;
      std::size_t end = cookieHeader.find(';', at);
      if (end == std::string::npos) end = cookieHeader.size();
      if (cookieHeader.compare(at, key.size(), key) == 0) {
        present = true;
        given = cookieHeader.substr(at + key.size(), end - at - key.size());
        break;
      }
      at = end;
    }
  }
  if (!present) return TokenCheck::kMissing;
  return tokenMatches(given) ? TokenCheck::kGood : TokenCheck::kWrong;
}

std::string WebAccess::cookieName() const {
  return "qeno_token_" + std::to_string(port_);
}

std::string WebAccess::cookie() const {
  return cookieName() + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict";
}

bool WebAccess::isJsonMediaType(const std::string& contentType) {
  std::string type = contentType.substr(0, contentType.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  std::size_t start = 0;
  while (start < type.size() && (type[start] == ' ' || type[start] == '\t')) ++start;
  return lowercase(type.substr(start)) == "application/json";
}
