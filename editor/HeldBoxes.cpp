#include "HeldBoxes.h"

#include <memory>
#include <stdexcept>

#include "GraphPart.h"
#include "HeldBox.h"
#include "ModuleGuard.h"

namespace {

std::string textOf(const std::vector<CrashEntry>& entries) {
  std::string text;
  for (const CrashEntry& entry : entries) text += entry.line();
  return text;
}

}  // namespace

std::map<int, CrashEntry> HeldBoxes::read(std::vector<std::string>& problems) {
  std::map<int, CrashEntry> byPlace;
  if (!enabled()) return byPlace;
  try {
    std::vector<CrashEntry> entries = record_.read();
    written_ = textOf(entries);
    // A box that crashed twice is held once, for its latest crash.
    for (CrashEntry& entry : entries) byPlace[entry.place] = std::move(entry);
  } catch (const std::exception& e) {
    problems.emplace_back(e.what());
  }
  return byPlace;
}

std::vector<std::string> HeldBoxes::settle(JGraph& graph,
                                           const std::map<int, CrashEntry>& recorded) {
  std::vector<std::string> told;
  for (const auto& [place, entry] : recorded) {
    const auto& boxes = graph.modules();
    JModuleObj* box = static_cast<std::size_t>(place) < boxes.size()
                          ? boxes[static_cast<std::size_t>(place)].get()
                          : nullptr;
    if (box == nullptr || entry.className != box->className()) {
      told.push_back(record_.path() + ": the graph holds no " + entry.className + " box " +
                     std::to_string(place) + " now; its crash record is dropped");
      continue;
    }
    if (dynamic_cast<HeldBox*>(box) == nullptr) {
      GraphPart part = GraphPart::take(graph, {graph.numberOf(*box)});
      part.hold(std::make_shared<const CrashEntry>(entry));
      if (std::string problem = part.put(graph); !problem.empty()) told.push_back(problem);
    }
  }
  for (const Held& held : list(graph)) told.push_back(held.line);
  if (std::string problem = sync(graph); !problem.empty()) told.push_back(problem);
  return told;
}

std::string HeldBoxes::sync(const JGraph& graph) {
  if (!enabled()) return {};
  std::vector<CrashEntry> entries;
  for (std::size_t place = 0; place < graph.modules().size(); ++place) {
    if (auto* held = dynamic_cast<const HeldBox*>(graph.modules()[place].get())) {
      entries.push_back(held->crash());
      entries.back().place = static_cast<int>(place);
    }
  }
  const std::string text = textOf(entries);
  if (text == written_) return {};
  try {
    record_.write(entries);
  } catch (const std::exception& e) {
    return e.what();
  }
  written_ = text;
  return {};
}

std::vector<HeldBoxes::Held> HeldBoxes::list(const JGraph& graph) {
  std::vector<Held> held;
  for (const auto& box : graph.modules()) {
    if (auto* standIn = dynamic_cast<const HeldBox*>(box.get())) {
      held.push_back({graph.numberOf(*box),
                      ModuleGuard::labelOf(box.get()) + " " + standIn->crash().heldText()});
    }
  }
  return held;
}
