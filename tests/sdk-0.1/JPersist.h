#pragma once

#include <memory>
#include <string>
#include <vector>

#include "JObject.h"

// One persisted entry: an integer, or an object (a copy owned by the entry).
struct JContentEntry {
  std::string key;
  bool isInteger = false;
  int integer = 0;
  std::shared_ptr<JObject> object;
};

// What a module writes when saved: entries in the order they were put.
class JOutputStream : public JObject {
 public:
  [[nodiscard]] const char* className() const override { return "JOutputStream"; }
  [[nodiscard]] JObject* clone() const override { return new JOutputStream(*this); }

  void putInteger(const std::string& key, int value);
  void putObject(const std::string& key, const JObject& value);
  [[nodiscard]] const std::vector<JContentEntry>& entries() const { return entries_; }

 private:
  std::vector<JContentEntry> entries_;
};

// What a module reads when loaded: the stored entries by key. A later entry
// with the same key takes the place of an earlier one.
class JDictionary : public JObject {
 public:
  JDictionary() = default;
  explicit JDictionary(const std::vector<JContentEntry>& entries);
  [[nodiscard]] const char* className() const override { return "JDictionary"; }
  [[nodiscard]] JObject* clone() const override { return new JDictionary(*this); }

  void put(JContentEntry entry);
  [[nodiscard]] const JContentEntry* find(const std::string& key) const;

 private:
  std::vector<JContentEntry> entries_;
};
