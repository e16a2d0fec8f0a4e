#include "PortQueries.h"

#include <cstring>

#include "ModuleGuard.h"

namespace {

// Asks box through the guard, unless it failed in operation before: then,
// and when it fails now, the plain box's answer stands.
template <class Answer, class Ask, class Plain>
Answer ask(JModuleObj& box, const char* operation, Ask question, Plain plain) {
  if (auto fault = ModuleGuard::faultOf(&box); fault && fault->operation == operation) {
    return plain();
  }
  Answer answer{};
  if (ModuleGuard::call(&box, operation, [&] { answer = question(); })) return answer;
  return plain();
}

}  // namespace

std::string PortQueries::inputName(JModuleObj& box, int n) {
  return ask<std::string>(
      box, "inputName", [&] { return box.inputName(n).str(); },
      [&] { return box.JModuleObj::inputName(n).str(); });
}

std::string PortQueries::outputName(JModuleObj& box, int n) {
  return ask<std::string>(
      box, "outputName", [&] { return box.outputName(n).str(); },
      [&] { return box.JModuleObj::outputName(n).str(); });
}

int PortQueries::inputType(JModuleObj& box, int n) {
  return ask<int>(
      box, "inputType", [&] { return box.inputType(n); },
      [&] { return box.JModuleObj::inputType(n); });
}

std::vector<int> PortQueries::outputTypes(JModuleObj& box) {
  const int count = box.getOutputCount();
  auto all = [&](auto typeOf) {
    std::vector<int> types;
    types.reserve(static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n) types.push_back(typeOf(n));
    return types;
  };
  return ask<std::vector<int>>(
      box, "outputType", [&] { return all([&](int n) { return box.outputType(n); }); },
      [&] { return all([&](int n) { return box.JModuleObj::outputType(n); }); });
}

JFRect PortQueries::inputArea(JModuleObj& box, int n) {
  return ask<JFRect>(
      box, "inputArea", [&] { return box.inputArea(n); },
      [&] { return box.JModuleObj::inputArea(n); });
}

JFRect PortQueries::outputArea(JModuleObj& box, int n) {
  return ask<JFRect>(
      box, "outputArea", [&] { return box.outputArea(n); },
      [&] { return box.JModuleObj::outputArea(n); });
}

JFPoint PortQueries::inputPoint(JModuleObj& box, JLinkObj& link) {
  const int n = link.getInput();
  return ask<JFPoint>(
      box, "inputPoint", [&] { return box.inputPoint(n, link); },
      [&] { return box.JModuleObj::inputPoint(n, link); });
}

JFPoint PortQueries::outputPoint(JModuleObj& box, JLinkObj& link) {
  const int n = link.getOutput();
  return ask<JFPoint>(
      box, "outputPoint", [&] { return box.outputPoint(n, link); },
      [&] { return box.JModuleObj::outputPoint(n, link); });
}

bool PortQueries::readOutput(JModuleObj& box, int n, const JDataType& holder) {
  // Read as a link reads it, but for the guard: the box's own.
  JLinkObj probe(&box, n, nullptr, 0);
  return ask<bool>(
      box, "getOutput",
      [&] {
        if (box.outputType(n) != holder.typeId()) return false;
        box.getOutput(n, probe, const_cast<JDataType&>(holder));
        return true;
      },
      [] { return false; });
}

std::vector<std::optional<int>> PortQueries::integerValues(JModuleObj& box) {
  const std::vector<int> types = outputTypes(box);
  std::vector<std::optional<int>> values(types.size());
  return ask<std::vector<std::optional<int>>>(
      box, "getOutput",
      [&] {
        for (std::size_t n = 0; n < types.size(); ++n) {
          if (types[n] != JIntegerData::id) continue;
          int value = 0;
          JLinkObj probe(&box, static_cast<int>(n), nullptr, 0);
          JIntegerData holder(value);
          box.getOutput(static_cast<int>(n), probe, holder);
          values[n] = value;
        }
        return values;
      },
      [&] { return std::vector<std::optional<int>>(types.size()); });
}
