#include "JPersist.h"

void JOutputStream::putInteger(const std::string& key, int value) {
  entries_.push_back(JContentEntry{key, true, value, nullptr});
}

void JOutputStream::putObject(const std::string& key, const JObject& value) {
  entries_.push_back(JContentEntry{key, false, 0, std::shared_ptr<JObject>(value.clone())});
}

JDictionary::JDictionary(const std::vector<JContentEntry>& entries) {
  for (const JContentEntry& entry : entries) put(entry);
}

void JDictionary::put(JContentEntry entry) {
  for (JContentEntry& existing : entries_) {
    if (existing.key == entry.key) {
      existing = std::move(entry);
      return;
    }
  }
  entries_.push_back(std::move(entry));
}

const JContentEntry* JDictionary::find(const std::string& key) const {
  for (const JContentEntry& entry : entries_) {
    if (entry.key == key) return &entry;
  }
  return nullptr;
}
