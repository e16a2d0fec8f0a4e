#include "JRegistry.h"

#include <dlfcn.h>

#include <cstdio>

#include "ModuleGuard.h"

namespace {

// The file of the library that defines object's class, for messages.
std::string libraryOfObject(const JObject& object) {
  Dl_info info{};
  // The first word of a polymorphic object points into its class's vtable,
  // which lives in the library that defines the class.
  const void* vtable = *reinterpret_cast<const void* const*>(&object);
  if (::dladdr(vtable, &info) != 0 && info.dli_fname != nullptr) return info.dli_fname;
  return "an unknown library";
}

}  // namespace

JRegistry& JRegistry::instance() {
  static JRegistry registry;
  return registry;
}

// Libraries stay mapped until exit unless unloaded, and unloading removes
// their classes first, so every remaining prototype's code is still there.
JRegistry::~JRegistry() = default;

const char* JRegistry::add(const JObject& prototype) {
  const char* name = prototype.className();
  const std::string library = libraryOfObject(prototype);
  if (name == nullptr || *name == '\0') {
    ++refusals_;
    std::fprintf(stderr, "qeno-host: refused a class without a name from %s\n", library.c_str());
    return nullptr;
  }
  std::unique_ptr<JObject> copy(prototype.clone());
  if (!copy) {
    ++refusals_;
    std::fprintf(stderr, "qeno-host: refused class %s from %s: it cannot be cloned\n", name,
                 library.c_str());
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(lock_);
  for (const Entry& entry : entries_) {
    if (*entry.name == name) {
      ++refusals_;
      std::fprintf(stderr, "qeno-host: refused class %s from %s: already registered by %s\n", name,
                   library.c_str(), entry.library.c_str());
      return nullptr;
    }
  }
  Entry& entry = entries_.emplace_back();
  entry.name = std::make_unique<std::string>(name);
  entry.prototype = std::move(copy);
  entry.library = library;
  return entry.name->c_str();
}

std::unique_ptr<JObject> JRegistry::create(const std::string& name) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (const Entry& entry : entries_) {
    if (*entry.name != name) continue;
    std::unique_ptr<JObject> instance;
    ModuleGuard::call(entry.prototype.get(), "clone",
                      [&] { instance.reset(entry.prototype->clone()); });
    return instance;
  }
  return nullptr;
}

std::string JRegistry::libraryOf(const std::string& name) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (const Entry& entry : entries_) {
    if (*entry.name == name) return entry.library;
  }
  return "an unknown library";
}

bool JRegistry::inspect(const std::string& name, const std::function<void(JObject&)>& look) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (const Entry& entry : entries_) {
    if (*entry.name != name) continue;
    look(*entry.prototype);
    return true;
  }
  return false;
}

bool JRegistry::contains(const std::string& name) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (const Entry& entry : entries_) {
    if (*entry.name == name) return true;
  }
  return false;
}

std::vector<std::string> JRegistry::names() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> result;
  for (const Entry& entry : entries_) result.push_back(*entry.name);
  return result;
}

void JRegistry::remove(const std::string& name) {
  std::unique_ptr<JObject> prototype;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (*it->name == name) {
        prototype = std::move(it->prototype);
        entries_.erase(it);
        break;
      }
    }
  }
}
