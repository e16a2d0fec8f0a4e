#pragma once

#include "JString.h"

// Host failures are thrown as heap pointers (throw new JSocketException(...)),
// caught as JException* and deleted by the catcher.
class JThrowable : public JObject {
 public:
  explicit JThrowable(JString message = JString()) : message_(std::move(message)) {}
  [[nodiscard]] const char* className() const override { return "JThrowable"; }
  [[nodiscard]] JObject* clone() const override { return new JThrowable(*this); }
  [[nodiscard]] JString getMessage() const { return message_; }

 private:
  JString message_;
};

class JException : public JThrowable {
 public:
  using JThrowable::JThrowable;
  [[nodiscard]] const char* className() const override { return "JException"; }
  [[nodiscard]] JObject* clone() const override { return new JException(*this); }
};

class JIOException : public JException {
 public:
  using JException::JException;
  [[nodiscard]] const char* className() const override { return "JIOException"; }
  [[nodiscard]] JObject* clone() const override { return new JIOException(*this); }
};

class JSocketException : public JIOException {
 public:
  using JIOException::JIOException;
  [[nodiscard]] const char* className() const override { return "JSocketException"; }
  [[nodiscard]] JObject* clone() const override { return new JSocketException(*this); }
};
