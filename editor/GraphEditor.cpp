#include "GraphEditor.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <stdexcept>
#include <utility>

#include "JPersist.h"
#include "JRegistry.h"
#include "ModuleGuard.h"
#include "PropertySheet.h"

namespace {

// What a removal must keep to bring a box back as it was.
struct SavedBox {
  int number = -1;
  std::string className;
  JOutputStream content;
};

using LinkEnds = GraphEditor::LinkEnds;

std::string boxText(int number) {
  return "box " + std::to_string(number);
}

SavedBox saveBox(JGraph& graph, JModuleObj& box) {
  SavedBox saved{graph.numberOf(box), box.className(), {}};
  ModuleGuard::call(&box, "writeContent", [&] { box.saveContent(saved.content); });
  return saved;
}

std::string restoreBox(JGraph& graph, const SavedBox& saved) {
  std::unique_ptr<JObject> object = JRegistry::instance().create(saved.className);
  if (dynamic_cast<JModuleObj*>(object.get()) == nullptr) {
    return boxText(saved.number) + ": class " + saved.className + " cannot be made again";
  }
  std::unique_ptr<JModuleObj> box(static_cast<JModuleObj*>(object.release()));
  JDictionary settings(saved.content.entries());
  if (!ModuleGuard::call(box.get(), "readContent", [&] { box->loadContent(settings); })) {
    return boxText(saved.number) + " (" + saved.className + ") did not take its settings back";
  }
  graph.add(std::move(box), saved.number);
  return {};
}

std::shared_ptr<JLinkObj> findLink(const JGraph& graph, const LinkEnds& ends) {
  for (const auto& link : graph.links()) {
    if (graph.numberOf(*link->getSource()) == ends.from && link->getOutput() == ends.output &&
        graph.numberOf(*link->getTarget()) == ends.to && link->getInput() == ends.input) {
      return link;
    }
  }
  return nullptr;
}

std::string makeLink(JGraph& graph, const LinkEnds& ends) {
  JModuleObj* from = graph.numbered(ends.from);
  JModuleObj* to = graph.numbered(ends.to);
  if (from == nullptr || to == nullptr) return "the boxes of that link are gone";
  try {
    graph.link(*from, ends.output, *to, ends.input);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return {};
}

std::string dropLink(JGraph& graph, const LinkEnds& ends) {
  std::shared_ptr<JLinkObj> link = findLink(graph, ends);
  if (!link) return "no such link";
  graph.unlink(*link);
  return {};
}

}  // namespace

GraphEditor::GraphEditor(JGraph& graph) : graph_(graph) {}

std::string GraphEditor::record(Step step) {
  std::string error = step.apply();
  if (!error.empty()) return error;
  done_.push_back(std::move(step));
  undone_.clear();
  if (changed_) changed_();
  return {};
}

std::string GraphEditor::boxOrError(int number, JModuleObj*& box) const {
  box = graph_.numbered(number);
  return box != nullptr ? std::string() : "there is no " + boxText(number);
}

std::string GraphEditor::portOrError(JModuleObj& box, bool input, const std::string& port,
                                     int& index) const {
  const int count = input ? box.getInputCount() : box.getOutputCount();
  const char* first = port.data();
  const char* last = port.data() + port.size();
  auto [end, problem] = std::from_chars(first, last, index);
  if (problem == std::errc() && end == last && first != last) {
    if (index >= 0 && index < count) return {};
  } else {
    for (index = 0; index < count; ++index) {
      if ((input ? box.inputName(index) : box.outputName(index)).str() == port) return {};
    }
  }
  return boxText(graph_.numberOf(box)) + " (" + box.className() + ") has no " +
         (input ? "input " : "output ") + port;
}

std::string GraphEditor::add(const std::string& className, double x, double y, int& number) {
  if (!JRegistry::instance().contains(className)) return "no class " + className + " is registered";
  number = -1;
  auto made = std::make_shared<int>(-1);
  Step step;
  step.what = "add " + className;
  step.apply = [this, className, x, y, made] {
    std::unique_ptr<JObject> object = JRegistry::instance().create(className);
    if (dynamic_cast<JModuleObj*>(object.get()) == nullptr) {
      return className + " cannot be made: it is not a box, or its clone failed";
    }
    std::unique_ptr<JModuleObj> box(static_cast<JModuleObj*>(object.release()));
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
  for (int number : numbers) {
    JModuleObj* box = nullptr;
    if (std::string error = boxOrError(number, box); !error.empty()) return error;
  }
  Step step;
  step.what = "remove";
  auto boxes = std::make_shared<std::vector<SavedBox>>();
  auto links = std::make_shared<std::vector<LinkEnds>>();
  step.apply = [this, numbers, boxes, links] {
    boxes->clear();
    links->clear();
    for (const auto& link : graph_.links()) {
      const int from = graph_.numberOf(*link->getSource());
      const int to = graph_.numberOf(*link->getTarget());
      if (std::count(numbers.begin(), numbers.end(), from) == 0 &&
          std::count(numbers.begin(), numbers.end(), to) == 0) {
        continue;
      }
      links->push_back({from, link->getOutput(), to, link->getInput()});
    }
    for (int number : numbers) {
      JModuleObj* box = graph_.numbered(number);
      if (box == nullptr) continue;
      boxes->push_back(saveBox(graph_, *box));
      graph_.remove(*box);  // stops it first: a server frees its port
    }
    return std::string();
  };
  step.revert = [this, boxes, links] {
    std::string error;
    for (const SavedBox& saved : *boxes) {
      if (std::string problem = restoreBox(graph_, saved); !problem.empty()) error = problem;
    }
    for (const LinkEnds& ends : *links) makeLink(graph_, ends);
    return error;
  };
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
  return record({"link", [this, ends] { return makeLink(graph_, ends); },
                 [this, ends] { return dropLink(graph_, ends); }});
}

std::string GraphEditor::unlink(int from, const std::string& output, int to,
                                const std::string& input) {
  LinkEnds ends{};
  if (std::string error = resolveLink(from, output, to, input, ends); !error.empty()) return error;
  if (!findLink(graph_, ends)) return "no such link";
  return record({"unlink", [this, ends] { return dropLink(graph_, ends); },
                 [this, ends] { return makeLink(graph_, ends); }});
}

std::string GraphEditor::move(int number, double x, double y) {
  JModuleObj* box = nullptr;
  if (std::string error = boxOrError(number, box); !error.empty()) return error;
  auto place = [this, number](double toX, double toY) {
    JModuleObj* moved = graph_.numbered(number);
    if (moved == nullptr) return "there is no " + boxText(number);
    moved->x = toX;
    moved->y = toY;
    graph_.noteChange();
    graph_.requestRepaint(*moved);
    return std::string();
  };
  const double fromX = box->x;
  const double fromY = box->y;
  return record({"move", [place, x, y] { return place(x, y); },
                 [place, fromX, fromY] { return place(fromX, fromY); }});
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
  return record({"set " + name, [edit, value] { return edit(value); },
                 [edit, before] { return edit(before); }});
}

std::string GraphEditor::undo() {
  if (done_.empty()) return "nothing to undo";
  Step step = std::move(done_.back());
  done_.pop_back();
  std::string error = step.revert();
  undone_.push_back(std::move(step));
  if (changed_) changed_();
  return error;
}

std::string GraphEditor::redo() {
  if (undone_.empty()) return "nothing to redo";
  Step step = std::move(undone_.back());
  undone_.pop_back();
  std::string error = step.apply();
  done_.push_back(std::move(step));
  if (changed_) changed_();
  return error;
}
