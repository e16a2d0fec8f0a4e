#include "JString.h"

#include <functional>

JString::JString(const char* text) : text_(text ? text : "") {}

JString::JString(const char* text, int /*flags*/) : JString(text) {}

std::size_t JString::hashCode() const {
  return std::hash<std::string>{}(text_);
}

JString JInteger::toJString(int value, int radix) {
  if (radix < 2 || radix > 36) radix = 10;
  // Work on the magnitude as unsigned so that INT_MIN is handled.
  unsigned int magnitude =
      value < 0 ? 0U - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
  std::string digits;
  do {
    digits.insert(digits.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[magnitude % radix]);
    magnitude /= static_cast<unsigned int>(radix);
  } while (magnitude != 0);
  if (value < 0) digits.insert(digits.begin(), '-');
  return JString(std::move(digits));
}
