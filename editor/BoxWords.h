#pragma once

#include <string>
#include <vector>

#include "JModuleObj.h"
#include "PropertySheet.h"

// What the editor tells a person about a box: its class in a sentence, each
// port's name, kind of data and words, and each property's entry with its
// words. The words come from the box (JBoxHelp), each call guarded; the
// base's entries (place and size) are described here. Host thread.
struct PortWords {
  std::string name;
  std::string type;  // "integer", "real", "text" or "other"
  std::string description;
};

struct PropertyWords {
  PropertyRow row;
  std::string description;
};

struct BoxWords {
  std::string className;
  std::string description;
  std::vector<PortWords> inputs;
  std::vector<PortWords> outputs;
  std::vector<PropertyWords> properties;
};

[[nodiscard]] BoxWords describeBox(JModuleObj& box);

// The page's short name of a data type: "integer", "real", "text", "other".
[[nodiscard]] const char* dataTypeName(int typeId);
