#pragma once

#include <string>
#include <string_view>

#include "JObject.h"

// Text held by value. Any bytes, including zero bytes, may be stored; the
// constructor from a C text copies up to its terminating zero.
class JString : public JObject {
 public:
  JString() = default;
  JString(const char* text);  // NOLINT(google-explicit-constructor): texts convert freely
  JString(const char* text, int flags);
  JString(std::string text) : text_(std::move(text)) {}  // NOLINT(google-explicit-constructor)

  [[nodiscard]] const char* className() const override { return "JString"; }
  [[nodiscard]] JObject* clone() const override { return new JString(*this); }
  [[nodiscard]] std::size_t hashCode() const override;

  [[nodiscard]] const std::string& str() const { return text_; }
  [[nodiscard]] const char* c_str() const { return text_.c_str(); }
  [[nodiscard]] int length() const { return static_cast<int>(text_.size()); }
  [[nodiscard]] bool empty() const { return text_.empty(); }

  bool operator==(const JString& other) const { return text_ == other.text_; }
  bool operator==(const char* other) const { return text_ == (other ? other : ""); }
  JString operator+(const JString& other) const { return JString(text_ + other.text_); }
  JString operator+(const char* other) const { return JString(text_ + (other ? other : "")); }

 private:
  std::string text_;
};

class JInteger {
 public:
  // Text of value in the given radix (2 to 36; anything else gives decimal).
  static JString toJString(int value, int radix);
};
