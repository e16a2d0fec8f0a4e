#pragma once

#include <memory>
#include <vector>

#include "JString.h"

// One entry of a property sheet. Entries hold copies of the values they show.
class JProperty : public JObject {
 public:
  explicit JProperty(JString name) : name_(std::move(name)) {}
  [[nodiscard]] const char* className() const override { return "JProperty"; }
  [[nodiscard]] JObject* clone() const override { return new JProperty(*this); }
  [[nodiscard]] JString getName() const { return name_; }

 private:
  JString name_;
};

class JStringProperty : public JProperty {
 public:
  JStringProperty(JString name, JString value)
      : JProperty(std::move(name)), value(std::move(value)) {}
  [[nodiscard]] const char* className() const override { return "JStringProperty"; }
  [[nodiscard]] JObject* clone() const override { return new JStringProperty(*this); }

  JString value;
};

class JIntegerProperty : public JProperty {
 public:
  JIntegerProperty(JString name, int value, int lower, int upper)
      : JProperty(std::move(name)), value(value), lower(lower), upper(upper) {}
  [[nodiscard]] const char* className() const override { return "JIntegerProperty"; }
  [[nodiscard]] JObject* clone() const override { return new JIntegerProperty(*this); }
  [[nodiscard]] bool inLimits(int candidate) const {
    return candidate >= lower && candidate <= upper;
  }

  int value;
  int lower;
  int upper;
};

// An ordered list that owns a copy of every object appended to it.
class JArray : public JObject {
 public:
  JArray() = default;
  JArray(const JArray& other);
  JArray& operator=(const JArray& other);
  JArray(JArray&&) noexcept = default;
  JArray& operator=(JArray&&) noexcept = default;
  ~JArray() override = default;

  [[nodiscard]] const char* className() const override { return "JArray"; }
  [[nodiscard]] JObject* clone() const override { return new JArray(*this); }

  // Appends a copy of item; returns the copy, owned by the array.
  JObject* append(const JObject& item);
  [[nodiscard]] int size() const { return static_cast<int>(items_.size()); }
  [[nodiscard]] JObject* at(int index) const {
    return items_.at(static_cast<std::size_t>(index)).get();
  }

 private:
  std::vector<std::unique_ptr<JObject>> items_;
};
