#pragma once

#include <string>
#include <vector>

// The host versions a module library was built against, read from the
// version section its headers put in the file, without loading it.
struct ModuleVersionMarker {
  enum class Kind {
    kFound,       // versions holds at least one text
    kMissing,     // a shared object of this machine's kind without the section
    kNotElf,      // not an ELF object of this machine's class and byte order
    kUnreadable,  // the file cannot be read; reason says why
  };
  Kind kind = Kind::kMissing;
  std::vector<std::string> versions;
  std::string reason;
};

// Never runs code of the file; every offset in it is checked against its size.
ModuleVersionMarker readModuleVersionMarker(const std::string& path);

// The major number of a "MAJOR.MINOR.PATCH" text, or -1.
int majorVersionOf(const std::string& version);
