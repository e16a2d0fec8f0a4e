#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ModuleLibrary.h"

// The module folders of this host's own tree: when installed, its module
// folder below the library folder beside bin/, then lib/qeno/modules of the
// same prefix (where an author's module installs) when that is another
// folder; when run from its build tree, that build's modules/ folder.
std::vector<std::string> ownModuleFolders();

// The folders every host searches after those it is given, in order: the
// user's own (lib/qeno/modules below ~/.local, the prefix a user installs
// to, when HOME is set), the machine's local one below /usr/local, then
// ownModuleFolders().
std::vector<std::string> standardModuleFolders();

// One folder of the search path. A standard folder that does not exist is
// passed over without a word; any other folder that cannot be read is told.
struct ModuleFolder {
  std::string path;
  bool standard = false;
  bool present = true;  // set by the search: false for a standard folder found absent
};

// The folders searched for module libraries, in order: each explicit folder,
// then each of the colon-separated list (empty entries skipped), then each
// standard folder.
std::vector<ModuleFolder> moduleSearchFolders(const std::vector<std::string>& explicitFolders,
                                              const std::string& colonList,
                                              const std::vector<std::string>& standardFolders);

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
  void loadFolders(const std::vector<ModuleFolder>& folders, const Report& report);
  // Loads exactly this file. Throws std::runtime_error, naming the file,
  // when it fails to load or registers no class.
  void loadFile(const std::string& path);

  // Every folder of the search path, in order, a folder given twice once.
  [[nodiscard]] const std::vector<ModuleFolder>& searched() const { return searched_; }
  // The file a class was loaded from, or empty for classes that no library
  // of this set registered.
  [[nodiscard]] std::string libraryOf(const std::string& className) const;

 private:
  // True when the file is loaded (now or before); otherwise problem says
  // why not, or is empty when the registry has already told.
  bool tryLoad(const std::string& path, std::string& problem);

  std::vector<ModuleFolder> searched_;
  std::vector<std::string> loadedFiles_;  // canonical paths, to load a file once
  std::vector<std::unique_ptr<ModuleLibrary>> libraries_;
};
