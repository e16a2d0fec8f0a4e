#include "GraphPart.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "GraphFile.h"
#include "HeldBox.h"
#include "ModuleGuard.h"

namespace {

std::string boxText(int number) {
  return "box " + std::to_string(number);
}

bool within(const std::vector<int>& numbers, int number) {
  return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

GraphPart::Box saveBox(const JGraph& graph, JModuleObj& box) {
  GraphPart::Box saved{graph.numberOf(box), box.className(), {}, 0, 0, nullptr};
  ModuleGuard::call(&box, "writeContent", [&] { box.saveContent(saved.content); });
  if (auto* held = dynamic_cast<HeldBox*>(&box)) {
    saved.held = std::make_shared<const CrashEntry>(held->crash());
  }
  return saved;
}

// Makes the box again from its class and settings; its number is the one the
// graph gave, or an empty string comes with an error.
std::string restoreBox(JGraph& graph, GraphPart::Box& saved) {
  const std::string what =
      (saved.number >= 0 ? boxText(saved.number) : "a new box") + " (" + saved.className + ")";
  std::unique_ptr<JModuleObj> box;
  if (saved.held) {
    // None of its code runs: it takes its settings as they were saved.
    box = std::make_unique<HeldBox>(saved.className, saved.content.entries(), *saved.held);
  } else {
    box = makeBox(saved.className);
    if (!box) return what + " cannot be made again";
    JDictionary settings(saved.content.entries());
    if (!ModuleGuard::call(box.get(), "readContent", [&] { box->loadContent(settings); })) {
      return what + " did not take its settings back";
    }
  }
  box->x += saved.dx;
  box->y += saved.dy;
  JModuleObj& added = graph.add(std::move(box), saved.number);
  saved.number = graph.numberOf(added);
  HeldBox::tellHeld(added);
  return {};
}

}  // namespace

GraphPart GraphPart::take(JGraph& graph, const std::vector<int>& numbers) {
  GraphPart part;
  for (const auto& link : graph.links()) {
    const Link ends{graph.numberOf(*link->getSource()), link->getOutput(),
                    graph.numberOf(*link->getTarget()), link->getInput()};
    if (within(numbers, ends.from) || within(numbers, ends.to)) part.links_.push_back(ends);
  }
  for (int number : numbers) {
    JModuleObj* box = graph.numbered(number);
    if (box == nullptr) continue;
    part.boxes_.push_back(saveBox(graph, *box));
    graph.remove(*box);  // stops it first: a server frees its port
  }
  return part;
}

GraphPart GraphPart::from(const JGraph& other) {
  GraphPart part;
  for (const auto& box : other.modules()) {
    part.boxes_.push_back(saveBox(other, *box));
    part.boxes_.back().number = -1;
  }
  for (const auto& link : other.links()) {
    part.links_.push_back({other.indexOf(*link->getSource()), link->getOutput(),
                           other.indexOf(*link->getTarget()), link->getInput()});
  }
  part.linksByPosition_ = true;
  return part;
}

void GraphPart::hold(const std::shared_ptr<const CrashEntry>& crash) {
  for (Box& box : boxes_) box.held = crash;
}

void GraphPart::shift(double dx, double dy) {
  for (Box& box : boxes_) {
    box.dx = dx;
    box.dy = dy;
  }
}

std::string GraphPart::put(JGraph& graph) {
  std::string error;
  for (Box& box : boxes_) {
    if (std::string problem = restoreBox(graph, box); !problem.empty()) error = problem;
  }
  if (linksByPosition_) {
    // Now that the boxes have numbers, the links name them by number.
    for (Link& link : links_) {
      link.from = boxes_[static_cast<std::size_t>(link.from)].number;
      link.to = boxes_[static_cast<std::size_t>(link.to)].number;
    }
    linksByPosition_ = false;
  }
  for (const Link& ends : links_) {
    if (std::string problem = makeLink(graph, ends); !problem.empty()) error = problem;
  }
  return error;
}

std::vector<int> GraphPart::numbers() const {
  std::vector<int> numbers;
  for (const Box& box : boxes_) numbers.push_back(box.number);
  return numbers;
}

std::size_t GraphPart::bytes() const {
  std::size_t total = links_.size() * sizeof(Link);
  for (const Box& box : boxes_) {
    total += sizeof(Box) + box.className.size();
    for (const JContentEntry& entry : box.content.entries()) {
      const auto* text = dynamic_cast<const JString*>(entry.object.get());
      total +=
          sizeof(JContentEntry) + entry.key.size() + (text != nullptr ? text->str().size() : 0);
    }
  }
  return total;
}

std::shared_ptr<JLinkObj> GraphPart::findLink(const JGraph& graph, const Link& ends) {
  for (const auto& link : graph.links()) {
    if (graph.numberOf(*link->getSource()) == ends.from && link->getOutput() == ends.output &&
        graph.numberOf(*link->getTarget()) == ends.to && link->getInput() == ends.input) {
      return link;
    }
  }
  return nullptr;
}

std::string GraphPart::makeLink(JGraph& graph, const Link& ends) {
  JModuleObj* from = graph.numbered(ends.from);
  JModuleObj* to = graph.numbered(ends.to);
  if (from == nullptr || to == nullptr) return "the boxes of that link are gone";
  JLinkObj* made = nullptr;
  try {
    made = &graph.link(*from, ends.output, *to, ends.input);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  // A held box has no value to hand on, and takes none.
  if (dynamic_cast<HeldBox*>(from) == nullptr) {
    ModuleGuard::call(to, "inputChanged", [&] { to->inputChanged(ends.input, *made); });
  }
  return {};
}

std::string GraphPart::dropLink(JGraph& graph, const Link& ends) {
  std::shared_ptr<JLinkObj> link = findLink(graph, ends);
  if (!link) return "no such link";
  graph.unlink(*link);
  return {};
}
