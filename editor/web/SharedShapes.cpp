#include "SharedShapes.h"

#include <nlohmann/json.hpp>

namespace {

std::string member(const std::string& key, const std::string& text) {
  return nlohmann::json(key).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + ":" +
         text;
}

}  // namespace

bool SharedShapes::use(const std::string& key, const std::string& text) {
  auto [found, fresh] = entries_.try_emplace(key);
  Entry& entry = found->second;
  if (fresh) {
    entry.text = text;
    if (!added_.empty()) added_ += ',';
    added_ += member(key, text);
  } else if (entry.text != text) {
    return false;
  }
  ++entry.uses;
  return true;
}

void SharedShapes::release(const std::string& key) {
  if (key.empty()) return;
  auto found = entries_.find(key);
  if (found == entries_.end()) return;
  if (--found->second.uses <= 0) entries_.erase(found);
}

std::string SharedShapes::added() {
  std::string told;
  told.swap(added_);
  return told;
}

std::string SharedShapes::all() const {
  std::string out;
  for (const auto& [key, entry] : entries_) {
    if (!out.empty()) out += ',';
    out += member(key, entry.text);
  }
  return out;
}
