#include "PropertySheet.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>

#include "JComponent.h"
#include "JGraph.h"
#include "JPropertyRefusal.h"
#include "ModuleGuard.h"
#include "PortQueries.h"

namespace {

// The entry called name in the module's current list, copied, or null.
// The module's property list; empty when its getProperties throws.
JArray propertiesOf(JModuleObj& module) {
  JArray list;
  ModuleGuard::call(&module, "getProperties", [&] { list = module.getProperties(); });
  return list;
}

std::unique_ptr<JProperty> findEntry(JModuleObj& module, const std::string& name) {
  JArray list = propertiesOf(module);
  for (int i = 0; i < list.size(); ++i) {
    auto* property = dynamic_cast<JProperty*>(list.at(i));
    if (property != nullptr && property->getName() == name.c_str()) {
      return std::unique_ptr<JProperty>(static_cast<JProperty*>(property->clone()));
    }
  }
  return nullptr;
}

}  // namespace

bool parseWholeNumber(const std::string& text, int& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  auto [end, problem] = std::from_chars(first, last, value);
  return problem == std::errc() && end == last && first != last;
}

std::vector<PropertyRow> listProperties(JModuleObj& module) {
  std::vector<PropertyRow> rows;
  JArray list = propertiesOf(module);
  for (int i = 0; i < list.size(); ++i) {
    if (auto* integer = dynamic_cast<JIntegerProperty*>(list.at(i))) {
      rows.push_back(PropertyRow{integer->getName().str(), true, std::to_string(integer->value),
                                 integer->lower, integer->upper});
    } else if (auto* text = dynamic_cast<JStringProperty*>(list.at(i))) {
      rows.push_back(PropertyRow{text->getName().str(), false, text->value.str(), 0, 0});
    }
  }
  return rows;
}

bool editProperty(JModuleObj& module, const std::string& name, const std::string& text,
                  std::string& error) {
  std::unique_ptr<JProperty> entry = findEntry(module, name);
  if (!entry) {
    error = "no property '" + JComponent::escape(name, JComponent::EscapeStyle::kUtf8) + "' on " +
            module.className();
    return false;
  }
  if (auto* integer = dynamic_cast<JIntegerProperty*>(entry.get())) {
    const std::string limits =
        std::to_string(integer->lower) + " to " + std::to_string(integer->upper);
    int value = 0;
    if (!parseWholeNumber(text, value)) {
      error = "property '" + name + "' takes a whole number from " + limits + ", not '" +
              JComponent::escape(text, JComponent::EscapeStyle::kUtf8) + "'";
      return false;
    }
    if (!integer->inLimits(value)) {
      error = "property '" + name + "' must be from " + limits + ", not " + text;  // a number
      return false;
    }
    integer->value = value;
  } else if (auto* string = dynamic_cast<JStringProperty*>(entry.get())) {
    string->value = JString(text);
  } else {
    error = "property '" + name + "' cannot be edited here";
    return false;
  }
  unsigned char taken = 0;
  (void)JPropertyRefusal::take(module);  // a reason told outside an edit is not this edit's
  if (!ModuleGuard::call(&module, "updateProperty",
                         [&] { taken = module.updateProperty(*entry); })) {
    error = std::string(module.className()) + " failed on property '" + name + "'";
    return false;
  }
  const std::optional<std::string> reason = JPropertyRefusal::take(module);
  if (taken == 0) {
    error = std::string(module.className()) + " did not take property '" + name + "'";
    if (reason && !reason->empty()) {
      error += ": " + JComponent::escape(*reason, JComponent::EscapeStyle::kUtf8);
    }
    return false;
  }
  if (JGraph* graph = module.graph()) graph->noteChange();
  return true;
}

namespace {
// Output n's value as text, read as a link would read it.
std::string valueAt(JModuleObj& module, int n, int type) {
  if (type == JIntegerData::id) {
    int value = 0;
    return PortQueries::readOutput(module, n, JIntegerData(value)) ? std::to_string(value) : "";
  }
  if (type == JRealData::id) {
    double value = 0;
    if (!PortQueries::readOutput(module, n, JRealData(value))) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
  }
  if (type == JStringData::id) {
    JString value;
    return PortQueries::readOutput(module, n, JStringData(value)) ? JComponent::escape(value.str())
                                                                  : "";
  }
  return {};
}
}  // namespace

std::string outputValue(JModuleObj& module, int n) {
  const std::vector<int> types = PortQueries::outputTypes(module);
  if (n < 0 || static_cast<std::size_t>(n) >= types.size()) return {};
  return valueAt(module, n, types[static_cast<std::size_t>(n)]);
}

std::vector<OutputRow> listOutputs(JModuleObj& module) {
  std::vector<OutputRow> rows;
  const std::vector<int> types = PortQueries::outputTypes(module);
  rows.reserve(types.size());
  for (int n = 0; n < static_cast<int>(types.size()); ++n) {
    rows.push_back(OutputRow{PortQueries::outputName(module, n),
                             valueAt(module, n, types[static_cast<std::size_t>(n)])});
  }
  return rows;
}
