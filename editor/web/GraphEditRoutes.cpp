// The page's edits of the graph's shape: boxes added, removed, pasted or
// imported, links made and broken, and the one history's undo and redo. Each
// goes through the editor the console uses, so each is one step of one
// history whoever made it.
#include <httplib.h>

#include "BoxWords.h"
#include "EditRoutes.h"
#include "GraphEditor.h"
#include "GraphFile.h"
#include "GraphSnapshot.h"
#include "HostCalls.h"
#include "JRegistry.h"
#include "ModuleGuard.h"
#include "PropertySheet.h"

using namespace webrequest;

namespace {

// A list of box numbers.
bool numbersField(const Json& body, const char* name, std::vector<int>& numbers,
                  std::string& reason) {
  auto found = body.find(name);
  if (found == body.end() || !found->is_array()) {
    reason = std::string("'") + name + "' must be a list of box numbers";
    return false;
  }
  for (const Json& item : *found) {
    int number = 0;
    if (!indexField(Json{{"module", item}}, "module", number, reason)) {
      reason = std::string("'") + name + "' must be a list of box numbers";
      return false;
    }
    numbers.push_back(number);
  }
  return true;
}

// One end of a link: {"module": N, "output" or "input": a port's number or name}.
bool endField(const Json& body, const char* name, const char* port, int& number, std::string& which,
              std::string& reason) {
  auto end = body.find(name);
  if (end == body.end() || !end->is_object()) {
    reason = std::string("'") + name + "' must be an object with 'module' and '" + port + "'";
    return false;
  }
  if (!indexField(*end, "module", number, reason)) return false;
  auto found = end->find(port);
  if (found != end->end() && found->is_string()) {
    which = found->get<std::string>();
    return true;
  }
  int index = 0;
  if (!indexField(*end, port, index, reason)) {
    reason = std::string("'") + port + "' must be a port's number or name";
    return false;
  }
  which = std::to_string(index);
  return true;
}

// A graph in the file format, given as a JSON object.
bool graphField(const Json& body, std::string& text, std::string& reason) {
  auto found = body.find("graph");
  if (found == body.end() || !found->is_object()) {
    reason = "'graph' must be a graph in the file format";
    return false;
  }
  text = found->dump();
  return true;
}

// A long value is cut: the page shows what a port holds, not all of it.
std::string shortened(const std::string& value) {
  if (value.size() <= GraphSnapshot::kChunkShown) return value;
  return value.substr(0, GraphSnapshot::kChunkShown) + "...";
}

Json portsJson(const std::vector<PortWords>& ports) {
  Json list = Json::array();
  for (const PortWords& port : ports) {
    list.push_back({{"name", port.name}, {"type", port.type}, {"description", port.description}});
  }
  return list;
}

// A registered class told by a fresh box of it: what it does, its ports and
// its property sheet's entries, with their limits and a new box's values.
Json classJson(const std::string& name) {
  Json entry = {{"name", name}};
  std::unique_ptr<JModuleObj> box = makeBox(name);
  if (!box) return entry;
  const BoxWords words = describeBox(*box);
  entry["description"] = words.description;
  entry["inputs"] = portsJson(words.inputs);
  entry["outputs"] = portsJson(words.outputs);
  Json properties = Json::array();
  for (const PropertyWords& property : words.properties) {
    Json row = {{"name", property.row.name},
                {"kind", property.row.isInteger ? "integer" : "text"},
                {"value", property.row.value},
                {"description", property.description}};
    if (property.row.isInteger) {
      row["lower"] = property.row.lower;
      row["upper"] = property.row.upper;
    }
    properties.push_back(std::move(row));
  }
  entry["properties"] = std::move(properties);
  const JModuleObj* made = box.get();
  ModuleGuard::call(made, "destructor", [&] { box.reset(); });
  return entry;
}

}  // namespace

std::string EditRoutes::classesText() {
  const std::vector<std::string> names = JRegistry::instance().names();
  if (names != describedNames_ || classesText_.empty()) {
    Json classes = Json::array();
    for (const std::string& name : names) classes.push_back(classJson(name));
    classesText_ =
        Json{{"classes", std::move(classes)}}.dump(-1, ' ', false, Json::error_handler_t::replace);
    describedNames_ = names;
  }
  return classesText_;
}

webrequest::Outcome EditRoutes::portValues(int number) const {
  JModuleObj* box = graph_.numbered(number);
  if (box == nullptr) return failure(404, "no box " + std::to_string(number));
  // An input shows the value its link offers; one without a link, none.
  Json inputs = Json::array();
  for (int n = 0; n < box->getInputCount(); ++n) inputs.push_back(nullptr);
  for (const auto& link : graph_.links()) {
    if (link->getTarget() != box || link->getInput() >= box->getInputCount()) continue;
    JModuleObj* source = link->getSource();
    // Read inside the guard: a box that throws is told and shows nothing.
    inputs[static_cast<std::size_t>(link->getInput())] =
        shortened(outputValue(*source, link->getOutput()));
  }
  Json outputs = Json::array();
  for (const OutputRow& row : listOutputs(*box)) outputs.push_back(shortened(row.value));
  return success({{"inputs", std::move(inputs)}, {"outputs", std::move(outputs)}});
}

void EditRoutes::addGraphEdits(RouteTable& routes) {
  routes.get("/api/classes", [this](const httplib::Request&, httplib::Response& res) {
    // Boxes are made and asked on the host thread only.
    reply(res, calls_.run([this] { return Outcome{200, classesText()}; }));
  });
  routes.get(R"(/api/ports/(\d{1,6}))",
             [this](const httplib::Request& req, httplib::Response& res) {
               const int number = std::stoi(req.matches[1].str());
               reply(res, calls_.run([this, number] { return portValues(number); }));
             });
  routes.get("/api/export", [this](const httplib::Request&, httplib::Response& res) {
    const Outcome outcome = calls_.run([this] {
      try {
        return Outcome{200, graphToJson(graph_)};
      } catch (const std::exception& e) {
        return failure(500, e.what());
      }
    });
    if (outcome.status == 200) {
      res.set_header("Content-Disposition", "attachment; filename=\"graph.json\"");
    }
    reply(res, outcome);
  });
  onHost(routes, "/api/add", [this](const Json& body) {
    std::string reason;
    double x = 0;
    double y = 0;
    auto found = body.find("class");
    if (found == body.end() || !found->is_string()) {
      return failure(400, "'class' must be the name of a class");
    }
    if (!numberField(body, "x", x, reason) || !numberField(body, "y", y, reason)) {
      return failure(400, reason);
    }
    int number = -1;
    const std::string error = editor_.add(found->get<std::string>(), x, y, number);
    return outcomeOf(error, {{"module", number}});
  });
  onHost(routes, "/api/remove", [this](const Json& body) {
    std::vector<int> numbers;
    std::string reason;
    if (!numbersField(body, "modules", numbers, reason)) return failure(400, reason);
    return outcomeOf(editor_.remove(numbers));
  });
  auto linking = [this](bool make) {
    return [this, make](const Json& body) {
      int from = 0;
      int to = 0;
      std::string output;
      std::string input;
      std::string reason;
      if (!endField(body, "from", "output", from, output, reason) ||
          !endField(body, "to", "input", to, input, reason)) {
        return failure(400, reason);
      }
      return outcomeOf(make ? editor_.link(from, output, to, input)
                            : editor_.unlink(from, output, to, input));
    };
  };
  onHost(routes, "/api/link", linking(true));
  onHost(routes, "/api/unlink", linking(false));
  onHost(routes, "/api/moves", [this](const Json& body) {
    auto found = body.find("moves");
    if (found == body.end() || !found->is_array()) {
      return failure(400, "'moves' must be a list of {module, x, y}");
    }
    std::vector<GraphEditor::Place> places;
    std::string reason;
    for (const Json& item : *found) {
      GraphEditor::Place place;
      if (!item.is_object() || !indexField(item, "module", place.number, reason) ||
          !numberField(item, "x", place.x, reason) || !numberField(item, "y", place.y, reason)) {
        return failure(400, reason.empty() ? "'moves' must be a list of {module, x, y}" : reason);
      }
      places.push_back(place);
    }
    return outcomeOf(editor_.moves(places));
  });
  onHost(routes, "/api/undo", [this](const Json&) { return outcomeOf(editor_.undo()); });
  onHost(routes, "/api/redo", [this](const Json&) { return outcomeOf(editor_.redo()); });
  onHost(routes, "/api/copy", [this](const Json& body) {
    std::vector<int> numbers;
    std::string reason;
    if (!numbersField(body, "modules", numbers, reason)) return failure(400, reason);
    std::string fragment;
    const std::string error = editor_.copy(numbers, fragment);
    if (!error.empty()) return failure(422, error);
    return success({{"graph", Json::parse(fragment)}});
  });
  onHost(
      routes, "/api/paste",
      [this](const Json& body) {
        std::string fragment;
        std::string reason;
        double dx = 0;
        double dy = 0;
        if (!graphField(body, fragment, reason) || !numberField(body, "dx", dx, reason) ||
            !numberField(body, "dy", dy, reason)) {
          return failure(400, reason);
        }
        std::vector<int> numbers;
        const std::string error = editor_.paste(fragment, dx, dy, numbers);
        return outcomeOf(error, {{"modules", numbers}});
      },
      kMaxGraphBodyBytes);
  onHost(
      routes, "/api/import",
      [this](const Json& body) {
        std::string file;
        std::string reason;
        if (!graphField(body, file, reason)) {
          return failure(400, reason);
        }
        return outcomeOf(editor_.replaceAll(file));
      },
      kMaxGraphBodyBytes);
}
