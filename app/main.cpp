// qeno-host: loads the Qeno Server module and runs it in a graph.

#include <cstdio>
#include <exception>
#include <memory>

#include "JModuleObj.h"
#include "JProperty.h"
#include "JRegistry.h"
#include "ModuleLibrary.h"

int main() {
  try {
    ModuleLibrary library(ModuleLibrary::besideExecutable(QENO_MODULE_FILE));
    std::unique_ptr<JObject> object = JRegistry::instance().create("QenoServer");
    auto* module = dynamic_cast<JModuleObj*>(object.get());
    if (module == nullptr) {
      std::fprintf(stderr, "qeno-host: %s did not register QenoServer\n", library.path().c_str());
      return 1;
    }
    std::printf("%s: %d inputs, %d outputs\n", module->className(), module->getInputCount(),
                module->getOutputCount());
    JArray properties = module->getProperties();
    for (int i = 0; i < properties.size(); ++i) {
      auto* property = dynamic_cast<JProperty*>(properties.at(i));
      if (auto* text = dynamic_cast<JStringProperty*>(property)) {
        std::printf("  %s = %s\n", text->getName().c_str(), text->value.c_str());
      } else if (auto* integer = dynamic_cast<JIntegerProperty*>(property)) {
        std::printf("  %s = %d\n", integer->getName().c_str(), integer->value);
      }
    }
    object.reset();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qeno-host: %s\n", e.what());
    return 1;
  }
  return 0;
}
