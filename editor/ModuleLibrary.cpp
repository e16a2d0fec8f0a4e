#include "ModuleLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "JRegistry.h"

ModuleLibrary::ModuleLibrary(const std::string& path) : path_(path) {
  const std::vector<std::string> before = JRegistry::instance().names();
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    throw std::runtime_error("cannot load module library " + path + ": " +
                             (why != nullptr ? why : "unknown reason"));
  }
  for (const std::string& name : JRegistry::instance().names()) {
    if (std::find(before.begin(), before.end(), name) == before.end()) classes_.push_back(name);
  }
}

ModuleLibrary::~ModuleLibrary() {
  for (const std::string& name : classes_) JRegistry::instance().remove(name);
  if (handle_ != nullptr) ::dlclose(handle_);
}

std::string ModuleLibrary::besideExecutable(const std::string& fileName) {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return fileName;
  std::string exe(buffer, static_cast<std::size_t>(length));
  std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? fileName : exe.substr(0, slash + 1) + fileName;
}
