#pragma once

#include <memory>
#include <string>

#include "ModuleSearch.h"
#include "Options.h"

// Loads what the options ask for: exactly the --module file, or every module
// library of the search path (each skipped one told in a line on standard
// error). Returns null, the reason told, when a --module file fails.
std::unique_ptr<ModuleSet> loadModules(const Options& options);

// Prints each registered class with the library it came from.
void printClasses(const ModuleSet& modules);

// One line saying that no loaded library provides className, and where the
// host looked.
std::string missingClassMessage(const ModuleSet& modules, const Options& options,
                                const std::string& className);
