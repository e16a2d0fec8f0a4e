#include "ModuleSearch.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "JRegistry.h"

namespace fs = std::filesystem;

namespace {

std::string executableFolder() {
  std::error_code error;
  fs::path exe = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : exe.parent_path().string();
}

bool isFolder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

std::string canonicalOrSelf(const std::string& path) {
  std::error_code error;
  fs::path canonical = fs::canonical(path, error);
  return error ? path : canonical.string();
}

}  // namespace

std::vector<std::string> ownModuleFolders() {
  const std::string folder = executableFolder();
  if (folder.empty()) return {};
  std::error_code error;
  if (fs::exists(fs::path(folder) / "CMakeCache.txt", error)) {
    const fs::path built = fs::path(folder) / "modules";
    return isFolder(built) ? std::vector<std::string>{built.string()} : std::vector<std::string>{};
  }
  // bin/ is one folder below the prefix.
  const fs::path prefix = fs::path(folder).parent_path();
  std::vector<std::string> folders{(prefix / QENO_INSTALL_MODULE_DIR).lexically_normal().string()};
  const std::string author = (prefix / QENO_AUTHOR_MODULE_DIR).lexically_normal().string();
  if (author != folders.front()) folders.push_back(author);
  return folders;
}

std::vector<std::string> standardModuleFolders() {
  std::vector<std::string> folders;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    folders.push_back((fs::path(home) / ".local" / QENO_AUTHOR_MODULE_DIR).string());
  }
  folders.emplace_back("/usr/local/" QENO_AUTHOR_MODULE_DIR);
  for (std::string& own : ownModuleFolders()) folders.push_back(std::move(own));
  return folders;
}

std::vector<ModuleFolder> moduleSearchFolders(const std::vector<std::string>& explicitFolders,
                                              const std::string& colonList,
                                              const std::vector<std::string>& standardFolders) {
  std::vector<ModuleFolder> folders;
  folders.reserve(explicitFolders.size() + standardFolders.size());
  for (const std::string& folder : explicitFolders) folders.push_back(ModuleFolder{folder});
  std::size_t start = 0;
  while (start <= colonList.size()) {
    std::size_t stop = colonList.find(':', start);
    if (stop == std::string::npos) stop = colonList.size();
    if (stop > start) folders.push_back(ModuleFolder{colonList.substr(start, stop - start)});
    start = stop + 1;
  }
  for (const std::string& folder : standardFolders) folders.push_back(ModuleFolder{folder, true});
  return folders;
}

ModuleSet::~ModuleSet() {
  while (!libraries_.empty()) libraries_.pop_back();
}

void ModuleSet::loadFolders(const std::vector<ModuleFolder>& folders, const Report& report) {
  std::vector<std::string> seen;
  for (ModuleFolder entry : folders) {
    const std::string& folder = entry.path;
    const std::string canonical = canonicalOrSelf(folder);
    if (std::find(seen.begin(), seen.end(), canonical) != seen.end()) continue;
    seen.push_back(canonical);
    std::error_code absent;
    entry.present = !entry.standard || fs::exists(folder, absent);
    searched_.push_back(entry);
    if (!entry.present) continue;

    std::error_code error;
    fs::directory_iterator it(folder, error);
    std::vector<std::string> files;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
      const fs::path& path = it->path();
      const std::string name = path.filename().string();
      if (name.empty() || name.front() == '.' || path.extension() != ".so") continue;
      // Anything else that is not a folder is tried, so that a dangling link
      // or a named pipe is told rather than passed over.
      std::error_code typeError;
      if (it->is_directory(typeError)) continue;
      files.push_back(path.string());
    }
    if (error) {
      report("cannot read module folder " + folder + ": " + error.message() + "; skipped");
      continue;
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
      std::string problem;
      if (!tryLoad(file, problem) && !problem.empty()) report(problem + "; skipped");
    }
  }
}

void ModuleSet::loadFile(const std::string& path) {
  std::string problem;
  if (tryLoad(path, problem)) return;
  if (problem.empty()) problem = "module library " + path + " registers no class of its own";
  throw std::runtime_error(problem);
}

bool ModuleSet::tryLoad(const std::string& path, std::string& problem) {
  const std::string canonical = canonicalOrSelf(path);
  if (std::find(loadedFiles_.begin(), loadedFiles_.end(), canonical) != loadedFiles_.end()) {
    return true;
  }
  const int refusalsBefore = JRegistry::instance().refusals();
  std::unique_ptr<ModuleLibrary> library;
  try {
    library = std::make_unique<ModuleLibrary>(path);
  } catch (const std::exception& e) {
    problem = e.what();
    return false;
  }
  if (library->classes().empty()) {
    // Nothing of it is registered, so nothing can reach its code: unload.
    if (JRegistry::instance().refusals() == refusalsBefore) {
      problem = "module library " + path + " registers no class";
    }
    return false;
  }
  loadedFiles_.push_back(canonical);
  libraries_.push_back(std::move(library));
  return true;
}

std::string ModuleSet::libraryOf(const std::string& className) const {
  for (const auto& library : libraries_) {
    const auto& classes = library->classes();
    if (std::find(classes.begin(), classes.end(), className) != classes.end()) {
      return library->path();
    }
  }
  return {};
}
