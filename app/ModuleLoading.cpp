#include "ModuleLoading.h"

#include <cstdlib>
#include <exception>

#include "Console.h"
#include "JRegistry.h"

std::unique_ptr<ModuleSet> loadModules(const Options& options) {
  auto modules = std::make_unique<ModuleSet>();
  if (!options.modulePath.empty()) {
    try {
      modules->loadFile(options.modulePath);
    } catch (const std::exception& e) {
      console::err(e.what());
      return nullptr;
    }
    return modules;
  }
  const char* environment = std::getenv("QENO_MODULE_PATH");
  modules->loadFolders(
      moduleSearchFolders(options.moduleFolders, environment != nullptr ? environment : "",
                          standardModuleFolders()),
      [](const std::string& line) { console::err(line); });
  return modules;
}

void printClasses(const ModuleSet& modules) {
  std::vector<std::string> names = JRegistry::instance().names();
  std::size_t widest = 0;
  for (const std::string& name : names) widest = std::max(widest, name.size());
  for (const std::string& name : names) {
    std::string library = modules.libraryOf(name);
    if (library.empty()) library = "(built into qeno-host)";
    std::string line = name;
    line.append(widest + 2 - name.size(), ' ').append(library);
    console::out(line);
  }
  // Where a module must go to be found, and which folder wins a class name.
  console::out("module folders, in order:");
  for (const ModuleFolder& folder : modules.searched()) {
    console::out("  " + folder.path + (folder.present ? "" : " (absent)"));
  }
  if (modules.searched().empty()) console::out("  none: --module loads that library alone");
}

std::string missingClassMessage(const ModuleSet& modules, const Options& options,
                                const std::string& className) {
  if (!options.modulePath.empty()) {
    return options.modulePath + " does not provide the class " + className;
  }
  std::string folders;
  for (const ModuleFolder& folder : modules.searched()) {
    if (folder.present) folders += (folders.empty() ? "" : ", ") + folder.path;
  }
  if (folders.empty()) folders = "none found; give --module-path DIR or --module FILE";
  return "no module library provides the class " + className + " (module folders: " + folders + ")";
}
