#pragma once

#include <string>
#include <vector>

// A module library loaded with dlopen. Loading runs the library's static
// initialisation, which registers its classes; the object remembers which
// ones, and unloading forgets them again before the library goes.
// Destroy every instance of those classes before the library.
class ModuleLibrary {
 public:
  // Throws std::runtime_error naming the path and the reason: the loader's,
  // or a library built for another major version of the host (found in the
  // file before it is loaded, so none of its code runs).
  explicit ModuleLibrary(const std::string& path);
  ~ModuleLibrary();
  ModuleLibrary(const ModuleLibrary&) = delete;
  ModuleLibrary& operator=(const ModuleLibrary&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  // Classes this library registered when it loaded.
  [[nodiscard]] const std::vector<std::string>& classes() const { return classes_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  std::vector<std::string> classes_;
};
