#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ModuleLibrary.h"

// The folder the module libraries of this host are in: lib/qeno/modules
// beside the executable's bin/ folder when installed, or the build's modules/
// folder when the executable runs from its build tree. Empty when neither
// exists.
std::string defaultModuleFolder();

// The folders searched for module libraries, in order: each explicit folder,
// then each of the colon-separated list (empty entries skipped), then
// defaultFolder when not empty.
std::vector<std::string> moduleSearchFolders(const std::vector<std::string>& explicitFolders,
                                             const std::string& colonList,
                                             const std::string& defaultFolder);

// The module libraries a host loaded, in load order. Unloads them in reverse
// order; destroy every instance of their classes first.
class ModuleSet {
 public:
  // Told one line for each file or folder skipped.
  using Report = std::function<void(const std::string& line)>;

  ModuleSet() = default;
  ~ModuleSet();
  ModuleSet(const ModuleSet&) = delete;
  ModuleSet& operator=(const ModuleSet&) = delete;

  // Loads every *.so file of each folder, by name order within a folder. A
  // folder that cannot be read, a file that fails to load (the loader's
  // reason, or a host version of another major number) or that registers no
  // class is reported and skipped; the rest load. A class name taken by an
  // earlier library is refused by the registry, which names both.
  void loadFolders(const std::vector<std::string>& folders, const Report& report);
  // Loads exactly this file. Throws std::runtime_error, naming the file,
  // when it fails to load or registers no class.
  void loadFile(const std::string& path);

  [[nodiscard]] const std::vector<std::string>& searched() const { return searched_; }
  // The file a class was loaded from, or empty for classes that no library
  // of this set registered.
  [[nodiscard]] std::string libraryOf(const std::string& className) const;

 private:
  // True when the file is loaded (now or before); otherwise problem says
  // why not, or is empty when the registry has already told.
  bool tryLoad(const std::string& path, std::string& problem);

  std::vector<std::string> searched_;
  std::vector<std::string> loadedFiles_;  // canonical paths, to load a file once
  std::vector<std::unique_ptr<ModuleLibrary>> libraries_;
};
