#include "JProperty.h"

JArray::JArray(const JArray& other) : JObject(other) {
  items_.reserve(other.items_.size());
  for (const auto& item : other.items_) items_.emplace_back(item->clone());
}

JArray& JArray::operator=(const JArray& other) {
  if (this != &other) {
    JArray copy(other);
    items_ = std::move(copy.items_);
  }
  return *this;
}

JObject* JArray::append(const JObject& item) {
  items_.emplace_back(item.clone());
  return items_.back().get();
}
