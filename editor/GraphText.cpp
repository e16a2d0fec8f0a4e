#include "GraphText.h"

#include <utility>

namespace graphtext {

bool isValidUtf8(const std::string& text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    int extra = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
      extra = 1;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      extra = 2;
      if (lead == 0xe0) low = 0xa0;
      if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      extra = 3;
      if (lead == 0xf0) low = 0x90;
      if (lead == 0xf4) high = 0x8f;
    } else {
      return false;
    }
    if (n - i <= static_cast<std::size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      // Only the first continuation byte has the narrowed range.
      const unsigned char lo = k == 1 ? low : 0x80;
      const unsigned char hi = k == 1 ? high : 0xbf;
      if (next < lo || next > hi) return false;
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

std::string oneLine(const std::string& text) {
  static const char* const hex = "0123456789abcdef";
  const bool utf8 = isValidUtf8(text);
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7f || (byte > 0x7f && !utf8)) {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

Json encodeText(const std::string& text) {
  if (isValidUtf8(text)) return Json(text);
  static const char* const hex = "0123456789abcdef";
  std::string digits;
  digits.reserve(text.size() * 2);
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    digits += hex[byte >> 4];
    digits += hex[byte & 0xf];
  }
  Json wrapped = Json::object();
  wrapped["bytes"] = digits;
  return wrapped;
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool decodeText(const Json& value, std::string& text) {
  if (value.is_string()) {
    text = value.get<std::string>();
    return true;
  }
  if (!value.is_object() || value.size() != 1 || !value.contains("bytes")) return false;
  const Json& bytes = value["bytes"];
  if (!bytes.is_string()) return false;
  const auto& digits = bytes.get_ref<const std::string&>();
  if (digits.size() % 2 != 0) return false;
  std::string decoded;
  decoded.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = hexValue(digits[i]);
    const int low = hexValue(digits[i + 1]);
    if (high < 0 || low < 0) return false;
    decoded += static_cast<char>(high * 16 + low);
  }
  text = std::move(decoded);
  return true;
}

}  // namespace graphtext
