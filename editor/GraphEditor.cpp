#include "GraphEditor.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <stdexcept>
#include <utility>

#include "GraphFile.h"
#include "HeldBox.h"
#include "JPersist.h"
#include "JRegistry.h"
#include "ModuleGuard.h"
#include "PortQueries.h"
#include "PropertySheet.h"

namespace {

using LinkEnds = GraphEditor::LinkEnds;

// What a step holds besides what its weight tells: its closures.
constexpr std::size_t kStepBytes = 256;

std::string boxText(int number) {
  return "box " + std::to_string(number);
}

// The boxes and links of text in the graph file format, checked as a file is;
// the refusal names source.
std::string partOf(const std::string& text, const std::string& source, GraphPart& part) {
  try {
    part = GraphPart::from(*graphFromJson(text, source));
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace

GraphEditor::GraphEditor(JGraph& graph) : graph_(graph) {}

std::string GraphEditor::record(Step step) {
  std::string error = step.apply();
  if (!error.empty()) return error;
  const int edited = step.edited;
  step.bytes += kStepBytes + step.what.size() + (step.weight ? step.weight() : 0);
  step.weight = nullptr;
  for (const Step& dropped : undone_) bytes_ -= dropped.bytes;
  undone_.clear();
  bytes_ += step.bytes;
  done_.push_back(std::move(step));
  trim();
  if (changed_) changed_(edited);
  return {};
}

void GraphEditor::trim() {
  // Only record adds steps, and it drops those to redo first.
  while (done_.size() > 1 && (done_.size() > kMaxSteps || bytes_ > kMaxBytes)) {
    bytes_ -= done_.front().bytes;
    done_.pop_front();
  }
}

std::string GraphEditor::boxOrError(int number, JModuleObj*& box) const {
  box = graph_.numbered(number);
  return box != nullptr ? std::string() : "there is no " + boxText(number);
}

std::string GraphEditor::boxesOrError(const std::vector<int>& numbers) const {
  for (int number : numbers) {
    JModuleObj* box = nullptr;
    if (std::string error = boxOrError(number, box); !error.empty()) return error;
  }
  return {};
}

std::string GraphEditor::portOrError(JModuleObj& box, bool input, const std::string& port,
                                     int& index) const {
  const int count = input ? box.getInputCount() : box.getOutputCount();
  const char* first = port.data();
  const char* last = port.data() + port.size();
  auto [end, problem] = std::from_chars(first, last, index);
  const bool numbered = problem == std::errc() && end == last && first != last;
  if (numbered && index >= 0 && index < count) return {};
  std::string names;
  for (int n = 0; n < count; ++n) {
    const std::string name =
        input ? PortQueries::inputName(box, n) : PortQueries::outputName(box, n);
    if (!numbered && name == port) {
      index = n;
      return {};
    }
    names += (n == 0 ? "" : ", ") + (name.empty() ? std::to_string(n) : name);
  }
  const char* kind = input ? "input" : "output";
  return boxText(graph_.numberOf(box)) + " (" + box.className() + ") has no " + kind + " " + port +
         (count == 0 ? std::string(": it has none")
                     : " (its " + std::string(kind) + "s: " + names + ")");
}

std::string GraphEditor::add(const std::string& className, double x, double y, int& number) {
  if (!JRegistry::instance().contains(className)) return "no class " + className + " is registered";
  number = -1;
  auto made = std::make_shared<int>(-1);
  Step step;
  step.what = "add " + className;
  step.apply = [this, className, x, y, made] {
    std::unique_ptr<JModuleObj> box = makeBox(className);
    if (!box) return className + " cannot be made: it is not a box, or its clone failed";
    box->x = x;
    box->y = y;
    // A redo brings back the number the first add gave.
    *made = graph_.numberOf(graph_.add(std::move(box), *made));
    return std::string();
  };
  step.revert = [this, made] {
    JModuleObj* box = graph_.numbered(*made);
    if (box != nullptr) graph_.remove(*box);
    return std::string();
  };
  std::string error = record(std::move(step));
  if (error.empty()) number = *made;
  return error;
}

std::string GraphEditor::remove(const std::vector<int>& numbers) {
  if (numbers.empty()) return "remove takes at least one box";
  if (std::string error = boxesOrError(numbers); !error.empty()) return error;
  auto taken = std::make_shared<GraphPart>();
  Step step{"remove",
            [this, numbers, taken] {
              *taken = GraphPart::take(graph_, numbers);
              return std::string();
            },
            [this, taken] { return taken->put(graph_); }};
  step.weight = [taken] { return taken->bytes(); };
  return record(std::move(step));
}

std::string GraphEditor::resolveLink(int from, const std::string& output, int to,
                                     const std::string& input, LinkEnds& ends) const {
  JModuleObj* source = nullptr;
  JModuleObj* target = nullptr;
  ends = LinkEnds{from, 0, to, 0};
  if (std::string error = boxOrError(from, source); !error.empty()) return error;
  if (std::string error = boxOrError(to, target); !error.empty()) return error;
  if (std::string error = portOrError(*source, false, output, ends.output); !error.empty()) {
    return error;
  }
  return portOrError(*target, true, input, ends.input);
}

std::string GraphEditor::link(int from, const std::string& output, int to,
                              const std::string& input) {
  LinkEnds ends{};
  if (std::string error = resolveLink(from, output, to, input, ends); !error.empty()) return error;
  return record({"link", [this, ends] { return GraphPart::makeLink(graph_, ends); },
                 [this, ends] { return GraphPart::dropLink(graph_, ends); }});
}

std::string GraphEditor::unlink(int from, const std::string& output, int to,
                                const std::string& input) {
  LinkEnds ends{};
  if (std::string error = resolveLink(from, output, to, input, ends); !error.empty()) return error;
  if (!GraphPart::findLink(graph_, ends)) return "no such link";
  return record({"unlink", [this, ends] { return GraphPart::dropLink(graph_, ends); },
                 [this, ends] { return GraphPart::makeLink(graph_, ends); }});
}

std::string GraphEditor::move(int number, double x, double y) {
  return moves({{number, x, y}});
}

std::string GraphEditor::moves(const std::vector<Place>& places) {
  if (places.empty()) return "move takes at least one box";
  std::vector<Place> before;
  for (const Place& place : places) {
    JModuleObj* box = nullptr;
    if (std::string error = boxOrError(place.number, box); !error.empty()) return error;
    before.push_back({place.number, box->x, box->y});
  }
  auto put = [this](const std::vector<Place>& to) {
    for (const Place& place : to) {
      JModuleObj* moved = graph_.numbered(place.number);
      if (moved == nullptr) return "there is no " + boxText(place.number);
      moved->x = place.x;
      moved->y = place.y;
      graph_.requestRepaint(*moved);
    }
    graph_.noteChange();
    return std::string();
  };
  Step step{"move", [put, places] { return put(places); }, [put, before] { return put(before); }};
  step.bytes = (places.size() + before.size()) * sizeof(Place);
  return record(std::move(step));
}

std::string GraphEditor::setProperty(int number, const std::string& name,
                                     const std::string& value) {
  JModuleObj* box = nullptr;
  if (std::string error = boxOrError(number, box); !error.empty()) return error;
  std::string before;
  bool found = false;
  for (const PropertyRow& row : listProperties(*box)) {
    if (row.name == name) {
      before = row.value;
      found = true;
    }
  }
  if (!found) return "no property '" + name + "' on " + box->className();
  auto edit = [this, number, name](const std::string& text) {
    JModuleObj* edited = graph_.numbered(number);
    if (edited == nullptr) return "there is no " + boxText(number);
    std::string error;
    editProperty(*edited, name, text, error);
    return error;
  };
  Step step{"set " + name, [edit, value] { return edit(value); },
            [edit, before] { return edit(before); }, number};
  // Each closure keeps the name and a value.
  step.bytes = 2 * name.size() + value.size() + before.size();
  return record(std::move(step));
}

std::string GraphEditor::copy(const std::vector<int>& numbers, std::string& fragment) const {
  if (numbers.empty()) return "copy takes at least one box";
  if (std::string error = boxesOrError(numbers); !error.empty()) return error;
  try {
    fragment = graphPartToJson(graph_, numbers);
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

std::string GraphEditor::paste(const std::string& fragment, double dx, double dy,
                               std::vector<int>& numbers) {
  auto pasted = std::make_shared<GraphPart>();
  if (std::string error = partOf(fragment, "the pasted boxes", *pasted); !error.empty()) {
    return error;
  }
  if (pasted->empty()) return "nothing to paste";
  pasted->shift(dx, dy);
  Step step{"paste",
            [this, pasted] {
              std::string problem = pasted->put(graph_);
              // All or nothing: what was made goes again.
              if (!problem.empty()) GraphPart::take(graph_, pasted->numbers());
              return problem;
            },
            [this, pasted] {
              *pasted = GraphPart::take(graph_, pasted->numbers());
              return std::string();
            }};
  step.weight = [pasted] { return pasted->bytes(); };
  std::string error = record(std::move(step));
  if (error.empty()) numbers = pasted->numbers();
  return error;
}

std::string GraphEditor::replaceAll(const std::string& file) {
  auto incoming = std::make_shared<GraphPart>();
  if (std::string error = partOf(file, "the imported graph", *incoming); !error.empty()) {
    return error;
  }
  auto before = std::make_shared<GraphPart>();
  auto all = [this] {
    std::vector<int> numbers;
    for (const auto& box : graph_.modules()) numbers.push_back(graph_.numberOf(*box));
    return numbers;
  };
  Step step{"import",
            [this, incoming, before, all] {
              *before = GraphPart::take(graph_, all());
              std::string problem = incoming->put(graph_);
              if (!problem.empty()) {
                GraphPart::take(graph_, incoming->numbers());
                before->put(graph_);
              }
              return problem;
            },
            [this, incoming, before] {
              *incoming = GraphPart::take(graph_, incoming->numbers());
              return before->put(graph_);
            }};
  step.weight = [incoming, before] { return incoming->bytes() + before->bytes(); };
  return record(std::move(step));
}

std::string GraphEditor::undo() {
  if (done_.empty()) return "nothing to undo";
  Step step = std::move(done_.back());
  done_.pop_back();
  std::string error = step.revert();
  const int edited = step.edited;
  undone_.push_back(std::move(step));
  if (changed_) changed_(edited);
  return error;
}

std::string GraphEditor::redo() {
  if (undone_.empty()) return "nothing to redo";
  Step step = std::move(undone_.back());
  undone_.pop_back();
  std::string error = step.apply();
  const int edited = step.edited;
  done_.push_back(std::move(step));
  if (changed_) changed_(edited);
  return error;
}

std::string GraphEditor::release(int number) {
  JModuleObj* box = nullptr;
  if (std::string error = boxOrError(number, box); !error.empty()) return error;
  if (dynamic_cast<HeldBox*>(box) == nullptr) return boxText(number) + " is not held";
  GraphPart held = GraphPart::take(graph_, {number});
  GraphPart running = held;
  running.hold(nullptr);
  std::string error = running.put(graph_);
  if (graph_.numbered(number) == nullptr) {
    // Told already, with the reason; what was made of it goes, and the
    // stand-in comes back with its links.
    held.put(graph_);
    error = boxText(number) + " cannot run again: no box of its class takes its settings; " +
            "it stays held";
  }
  if (changed_) changed_(number);
  return error;
}
