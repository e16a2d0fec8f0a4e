#include "PropertySheet.h"

std::vector<PropertyRow> listProperties(JModuleObj& /*module*/) { return {}; }

bool editProperty(JModuleObj& /*module*/, const std::string& name, const std::string& /*text*/,
                  std::string& error) {
  error = "no property " + name;
  return false;
}
