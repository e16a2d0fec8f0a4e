#include "BoxWords.h"

#include "JBoxHelp.h"
#include "JData.h"
#include "ModuleGuard.h"

namespace {

// The base's own entries, which every box lists first.
std::string baseWords(const std::string& name) {
  if (name == "x") return "Where the box's left edge is in the graph, in pixels.";
  if (name == "y") return "Where the box's top edge is in the graph, in pixels.";
  if (name == "width") return "The box's width, in pixels.";
  if (name == "height") return "The box's height, in pixels.";
  return {};
}

// One text the box tells, or an empty one when the call fails.
template <class Ask>
std::string told(JModuleObj& box, const char* operation, Ask&& ask) {
  JString text;
  ModuleGuard::call(&box, operation, [&] { text = ask(); });
  return text.str();
}

std::vector<PortWords> portsOf(JModuleObj& box, bool inputs, const JBoxHelp* help) {
  std::vector<PortWords> ports;
  const int count = inputs ? box.getInputCount() : box.getOutputCount();
  for (int n = 0; n < count; ++n) {
    PortWords port;
    ModuleGuard::call(&box, inputs ? "inputName" : "outputName", [&] {
      port.name = (inputs ? box.inputName(n) : box.outputName(n)).str();
      port.type = dataTypeName(inputs ? box.inputType(n) : box.outputType(n));
    });
    if (help != nullptr) {
      port.description =
          inputs ? told(box, "inputDescription", [&] { return help->inputDescription(n); })
                 : told(box, "outputDescription", [&] { return help->outputDescription(n); });
    }
    ports.push_back(std::move(port));
  }
  return ports;
}

}  // namespace

const char* dataTypeName(int typeId) {
  switch (typeId) {
    case JIntegerData::id:
      return "integer";
    case JRealData::id:
      return "real";
    case JStringData::id:
      return "text";
    default:
      return "other";
  }
}

BoxWords describeBox(JModuleObj& box) {
  BoxWords words;
  words.className = box.className();
  const auto* help = dynamic_cast<const JBoxHelp*>(&box);
  if (help != nullptr)
    words.description = told(box, "description", [&] { return help->description(); });
  words.inputs = portsOf(box, true, help);
  words.outputs = portsOf(box, false, help);
  for (PropertyRow& row : listProperties(box)) {
    PropertyWords property{std::move(row), {}};
    if (help != nullptr) {
      const JString name(property.row.name);
      property.description =
          told(box, "propertyDescription", [&] { return help->propertyDescription(name); });
    }
    if (property.description.empty()) property.description = baseWords(property.row.name);
    words.properties.push_back(std::move(property));
  }
  return words;
}
