#include "GraphText.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "JComponent.h"

namespace graphtext {

Json encodeText(const std::string& text) {
  if (JComponent::isValidUtf8(text)) return Json(text);
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

bool asInt32(const Json& value, int& result) {
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<int32_t>::max())) return false;
    result = static_cast<int>(v);
    return true;
  }
  if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
      return false;
    }
    result = static_cast<int>(v);
    return true;
  }
  return false;
}

}  // namespace graphtext
