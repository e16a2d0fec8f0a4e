#include "ModuleLibrary.h"

#include <dlfcn.h>

#include <algorithm>
#include <stdexcept>

#include "JRegistry.h"
#include "ModuleProbe.h"
#include "ModuleVersion.h"
#include "QenoVersion.h"

namespace {

// Throws unless the file was built against this host's major version. Runs
// before dlopen: a library built for another layout of the host's classes
// would crash in its static initialisation, before it could be asked.
void checkHostVersion(const std::string& path) {
  const std::string prefix = "cannot load module library " + path + ": ";
  const ModuleVersionMarker marker = readModuleVersionMarker(path);
  switch (marker.kind) {
    case ModuleVersionMarker::Kind::kUnreadable:
      throw std::runtime_error(prefix + marker.reason);
    case ModuleVersionMarker::Kind::kNotElf:
      return;  // dlopen tells what it is not
    case ModuleVersionMarker::Kind::kMissing:
      throw std::runtime_error(prefix +
                               "it carries no host version; it was not built with the qeno "
                               "host headers");
    case ModuleVersionMarker::Kind::kFound:
      break;
  }
  for (const std::string& version : marker.versions) {
    if (majorVersionOf(version) != QENO_HOST_VERSION_MAJOR) {
      std::string message = prefix;
      message.append("built for qeno host ").append(version);
      message.append(", but this is qeno host " QENO_HOST_VERSION " (major versions differ)");
      throw std::runtime_error(message);
    }
  }
}

}  // namespace

ModuleLibrary::ModuleLibrary(const std::string& path) : path_(path) {
  checkHostVersion(path);
  if (const std::string why = probeModuleInitialisation(path); !why.empty()) {
    throw std::runtime_error("cannot load module library " + path + ": " + why);
  }
  const std::vector<std::string> before = JRegistry::instance().names();
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* error = ::dlerror();
    std::string why = error != nullptr ? error : "unknown reason";
    // The loader's reason usually names the file again.
    if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
    throw std::runtime_error("cannot load module library " + path + ": " + why);
  }
  for (const std::string& name : JRegistry::instance().names()) {
    if (std::find(before.begin(), before.end(), name) == before.end()) classes_.push_back(name);
  }
}

ModuleLibrary::~ModuleLibrary() {
  for (const std::string& name : classes_) JRegistry::instance().remove(name);
  if (handle_ != nullptr) ::dlclose(handle_);
}
