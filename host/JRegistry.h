#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "JObject.h"

// The host's class registry: class name -> prototype. Module libraries add
// their classes while they load; the host creates instances by name.
// Thread-safe.
class JRegistry {
 public:
  static JRegistry& instance();

  // Keeps a clone of prototype under its className(). A second registration
  // of a name is refused with a message on standard error naming the library
  // that tried and the one that has it; the first one stays. Returns the
  // registered name, or null.
  const char* add(const JObject& prototype);
  // How many registrations add() has refused so far.
  [[nodiscard]] int refusals() const { return refusals_.load(); }
  // A new instance cloned from the prototype, or null for an unknown name or
  // a clone that threw (told on standard error).
  [[nodiscard]] std::unique_ptr<JObject> create(const std::string& name) const;
  [[nodiscard]] bool contains(const std::string& name) const;
  [[nodiscard]] std::vector<std::string> names() const;
  // The file that defines the class, or "an unknown library".
  [[nodiscard]] std::string libraryOf(const std::string& name) const;
  // Runs look on the registered instance of name, under the registry's lock
  // (so brief, and never calling back into the registry); false when no
  // class of that name is registered.
  bool inspect(const std::string& name, const std::function<void(JObject&)>& look) const;
  // Forgets a class and destroys its prototype; for unloading its library.
  void remove(const std::string& name);

  JRegistry(const JRegistry&) = delete;
  JRegistry& operator=(const JRegistry&) = delete;

 private:
  JRegistry() = default;
  ~JRegistry();

  struct Entry {
    std::unique_ptr<std::string> name;  // stable address for the returned text
    std::unique_ptr<JObject> prototype;
    std::string library;  // file that defines the class, for messages
  };
  std::atomic<int> refusals_{0};
  mutable std::mutex lock_;  // guards entries_
  std::vector<Entry> entries_;
};
