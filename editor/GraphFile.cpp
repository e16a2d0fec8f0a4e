#include "GraphFile.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <vector>

#include "FileIo.h"
#include "GraphLayout.h"
#include "GraphText.h"
#include "HeldBox.h"
#include "JComponent.h"
#include "JException.h"
#include "JPersist.h"
#include "JRegistry.h"
#include "ModuleGuard.h"

// The document:
//   {"format": "qeno-graph", "version": 1,
//    "modules": [{"class": "<name>", "content": {<key>: <value>, ...}}, ...],
//    "links": [{"from": {"module": i, "output": n}, "to": {"module": j, "input": m}}, ...]}
// Content keeps the order the module wrote its entries in. An integer entry is
// a JSON integer; a text entry is a JSON string when the text is valid UTF-8,
// else {"bytes": "<hex>"}, so every byte sequence comes back exactly.
//
// Loading is strict: anything the format does not define is refused, content
// keys included. A key the module does not write would otherwise be dropped
// without a word, and a misspelt "port" would quietly load as port 0. Keys the
// file leaves out are fine; the module treats them as absent.

namespace {

using graphtext::asInt32;
using graphtext::decodeText;
using graphtext::encodeText;
using graphtext::Json;

constexpr const char* kFormat = "qeno-graph";
constexpr int kVersion = 1;

// Messages are one line of text whatever a path, key or quoted piece of a
// broken file holds.
constexpr JComponent::EscapeStyle kMessageStyle = JComponent::EscapeStyle::kUtf8;

[[noreturn]] void fail(const std::string& source, const std::string& detail) {
  throw std::runtime_error(JComponent::escape(source + ": " + detail, kMessageStyle));
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

std::string moduleText(std::size_t index, const std::string& className) {
  return "module " + std::to_string(index) + " (" + className + ")";
}

enum class Kind { kInteger, kText, kOther };

Kind kindOf(const JContentEntry& entry) {
  if (entry.isInteger) return Kind::kInteger;
  return dynamic_cast<const JString*>(entry.object.get()) != nullptr ? Kind::kText : Kind::kOther;
}

Json contentToJson(JModuleObj& module, std::size_t index) {
  JOutputStream stream;
  if (!ModuleGuard::call(&module, "writeContent", [&] { module.saveContent(stream); })) {
    // Told already, with its message; a file without the box's settings
    // would lose them.
    throw std::runtime_error(moduleText(index, module.className()) +
                             ": its writeContent threw; the graph is not saved");
  }
  Json content = Json::object();
  for (const JContentEntry& entry : stream.entries()) {
    const std::string where =
        moduleText(index, module.className()) + ": entry " + quoted(entry.key);
    if (!JComponent::isValidUtf8(entry.key)) {
      throw std::runtime_error(
          JComponent::escape(where + ": the key is not UTF-8 text", kMessageStyle));
    }
    switch (kindOf(entry)) {
      case Kind::kInteger:
        content[entry.key] = entry.integer;
        break;
      case Kind::kText:
        content[entry.key] = encodeText(static_cast<const JString&>(*entry.object).str());
        break;
      case Kind::kOther:
        throw std::runtime_error(JComponent::escape(
            where + " holds a " + entry.object->className() + ", which a graph file cannot store",
            kMessageStyle));
    }
  }
  return content;
}

// Refuses members of object other than those named.
void onlyMembers(const Json& object, std::initializer_list<const char*> allowed,
                 const std::string& source, const std::string& where) {
  for (const auto& member : object.items()) {
    bool known = false;
    for (const char* name : allowed) known = known || member.key() == name;
    if (!known) fail(source, where + "unknown member " + quoted(member.key()));
  }
}

// The content's entries, each of the kind expected names for its key; with
// no expectation (a held box, whose code tells nothing), of the kind its
// JSON value has.
std::vector<JContentEntry> contentFromJson(const Json& content,
                                           const std::map<std::string, Kind>* expected,
                                           const std::string& className, const std::string& source,
                                           const std::string& where) {
  std::vector<JContentEntry> entries;
  for (const auto& item : content.items()) {
    const std::string& key = item.key();
    const std::string what = where + "entry " + quoted(key);
    Kind kind = item.value().is_number_integer() ? Kind::kInteger : Kind::kText;
    if (expected != nullptr) {
      auto found = expected->find(key);
      if (found == expected->end())
        fail(source, what + " is not one that " + className + " stores");
      kind = found->second;
    }
    JContentEntry& stored = entries.emplace_back();
    stored.key = key;
    switch (kind) {
      case Kind::kInteger:
        if (!item.value().is_number_integer()) fail(source, what + " must be an integer");
        if (!asInt32(item.value(), stored.integer)) {
          fail(source, what + " must be an integer from -2147483648 to 2147483647");
        }
        stored.isInteger = true;
        break;
      case Kind::kText: {
        std::string text;
        if (!decodeText(item.value(), text)) {
          fail(source, what + " must be a text (a string or {\"bytes\": \"<hex>\"})");
        }
        stored.object = std::make_shared<JString>(std::move(text));
        break;
      }
      case Kind::kOther:
        fail(source, what + " holds a kind of value a graph file cannot store");
    }
  }
  return entries;
}

// held: the places the served graph holds, or null for any other graph.
std::unique_ptr<JModuleObj> moduleFromJson(const Json& entry, std::size_t index,
                                           const std::string& source,
                                           const std::map<int, CrashEntry>* held) {
  const std::string at = "module " + std::to_string(index) + ": ";
  if (!entry.is_object()) fail(source, at + "must be an object");
  onlyMembers(entry, {"class", "content"}, source, at);
  if (!entry.contains("class") || !entry["class"].is_string()) {
    fail(source, at + "\"class\" must be a text");
  }
  const std::string className = entry["class"].get<std::string>();
  const std::string where = moduleText(index, className) + ": ";
  if (!JRegistry::instance().contains(className))
    fail(source, where + "no such class is registered");
  if (!entry.contains("content") || !entry["content"].is_object()) {
    fail(source, where + "\"content\" must be an object");
  }
  std::optional<ModuleGuard::Loading> marking;
  if (held != nullptr) {
    auto crash = held->find(static_cast<int>(index));
    if (crash != held->end() && crash->second.className == className) {
      return std::make_unique<HeldBox>(
          className, contentFromJson(entry["content"], nullptr, className, source, where),
          crash->second);
    }
    marking.emplace(static_cast<int>(index), className, JRegistry::instance().libraryOf(className));
  }
  std::unique_ptr<JModuleObj> module = makeBox(className);
  if (!module) fail(source, where + "the class is not a module");

  // What a fresh instance writes tells the kind each key must have.
  JOutputStream fresh;
  try {
    ModuleGuard::traced(module.get(), "writeContent", [&] { module->saveContent(fresh); });
  } catch (...) {
    fail(source, where + "cannot tell its content: writeContent threw " +
                     JComponent::describeCurrentException());
  }
  std::map<std::string, Kind> expected;
  for (const JContentEntry& e : fresh.entries()) expected[e.key] = kindOf(e);
  JDictionary dictionary(contentFromJson(entry["content"], &expected, className, source, where));
  try {
    ModuleGuard::traced(module.get(), "readContent", [&] { module->loadContent(dictionary); });
  } catch (...) {
    fail(source, where + "cannot take its content: " + JComponent::describeCurrentException());
  }
  return module;
}

int linkIndex(const Json& end, const char* member, const std::string& source,
              const std::string& where) {
  int value = 0;
  if (!end.contains(member) || !asInt32(end[member], value)) {
    fail(source, where + quoted(member) + " must be an integer");
  }
  return value;
}

void linkFromJson(JGraph& graph, const Json& entry, std::size_t index, const std::string& source) {
  const std::string at = "link " + std::to_string(index) + ": ";
  if (!entry.is_object()) fail(source, at + "must be an object");
  onlyMembers(entry, {"from", "to"}, source, at);
  if (!entry.contains("from") || !entry["from"].is_object()) {
    fail(source, at + "\"from\" must be an object");
  }
  if (!entry.contains("to") || !entry["to"].is_object()) {
    fail(source, at + "\"to\" must be an object");
  }
  const Json& from = entry["from"];
  const Json& to = entry["to"];
  onlyMembers(from, {"module", "output"}, source, at + "\"from\": ");
  onlyMembers(to, {"module", "input"}, source, at + "\"to\": ");
  const int fromModule = linkIndex(from, "module", source, at + "\"from\": ");
  const int output = linkIndex(from, "output", source, at + "\"from\": ");
  const int toModule = linkIndex(to, "module", source, at + "\"to\": ");
  const int input = linkIndex(to, "input", source, at + "\"to\": ");
  const auto count = static_cast<int>(graph.modules().size());
  for (int m : {fromModule, toModule}) {
    if (m < 0 || m >= count) {
      fail(source, at + "module " + std::to_string(m) + " does not exist (the graph has " +
                       std::to_string(count) + " modules)");
    }
  }
  const std::string ends = "link " + std::to_string(index) + " (module " +
                           std::to_string(fromModule) + " output " + std::to_string(output) +
                           " to module " + std::to_string(toModule) + " input " +
                           std::to_string(input) + "): ";
  try {
    graph.link(*graph.modules()[static_cast<std::size_t>(fromModule)], output,
               *graph.modules()[static_cast<std::size_t>(toModule)], input);
  } catch (const std::invalid_argument& e) {
    fail(source, ends + e.what());
  }
}

}  // namespace

namespace {

// The boxes keep, not their numbers, but their order: links name them by
// their place in the file.
std::string boxesToJson(const JGraph& graph, const std::vector<JModuleObj*>& boxes) {
  Json document = Json::object();
  document["format"] = kFormat;
  document["version"] = kVersion;
  Json modules = Json::array();
  std::map<const JModuleObj*, int> places;
  for (JModuleObj* box : boxes) {
    const auto index = places.size();
    places[box] = static_cast<int>(index);
    Json module = Json::object();
    module["class"] = box->className();
    module["content"] = contentToJson(*box, index);
    modules.push_back(std::move(module));
  }
  document["modules"] = std::move(modules);
  Json links = Json::array();
  for (const auto& link : graph.links()) {
    auto from = places.find(link->getSource());
    auto to = places.find(link->getTarget());
    if (from == places.end() || to == places.end()) continue;
    Json entry = Json::object();
    entry["from"] = Json{{"module", from->second}, {"output", link->getOutput()}};
    entry["to"] = Json{{"module", to->second}, {"input", link->getInput()}};
    links.push_back(std::move(entry));
  }
  document["links"] = std::move(links);
  return document.dump(2) + "\n";
}

}  // namespace

std::unique_ptr<JModuleObj> makeBox(const std::string& className) {
  std::unique_ptr<JObject> object = JRegistry::instance().create(className);
  if (dynamic_cast<JModuleObj*>(object.get()) == nullptr) return nullptr;
  return std::unique_ptr<JModuleObj>(static_cast<JModuleObj*>(object.release()));
}

std::string graphToJson(const JGraph& graph) {
  std::vector<JModuleObj*> boxes;
  for (const auto& box : graph.modules()) boxes.push_back(box.get());
  for (const auto& link : graph.links()) {
    if (graph.indexOf(*link->getSource()) < 0 || graph.indexOf(*link->getTarget()) < 0) {
      throw std::runtime_error("a link joins a module outside the graph");
    }
  }
  return boxesToJson(graph, boxes);
}

std::string graphPartToJson(const JGraph& graph, const std::vector<int>& numbers) {
  std::vector<JModuleObj*> boxes;
  for (const auto& box : graph.modules()) {
    if (std::find(numbers.begin(), numbers.end(), graph.numberOf(*box)) != numbers.end()) {
      boxes.push_back(box.get());
    }
  }
  return boxesToJson(graph, boxes);
}

namespace {

std::unique_ptr<JGraph> buildGraph(const std::string& json, const std::string& source,
                                   const std::map<int, CrashEntry>* held) {
  Json document;
  try {
    document = Json::parse(json);
  } catch (const Json::parse_error& e) {
    // Drop the library's "[json.exception.parse_error.101] " tag.
    std::string why = e.what();
    const std::size_t tag = why.find("] ");
    if (tag != std::string::npos) why.erase(0, tag + 2);
    fail(source, "not a valid JSON document: " + why);
  }
  if (!document.is_object()) fail(source, "not a graph file: the document is not an object");
  // A graph written by hand may leave out "format" and "version" (it is then
  // read as this version); given, they must be right, so that another kind
  // of file or a later version is never half-read.
  if (document.contains("format") && document["format"] != kFormat) {
    fail(source, "not a graph file: \"format\" must be \"" + std::string(kFormat) + "\"");
  }
  int version = kVersion;
  if (document.contains("version") && !asInt32(document["version"], version)) {
    fail(source, "\"version\" must be an integer");
  }
  if (version != kVersion) {
    fail(source, "version " + std::to_string(version) + " is not supported (only " +
                     std::to_string(kVersion) + ")");
  }
  onlyMembers(document, {"format", "version", "modules", "links"}, source, "");
  if (!document.contains("modules") || !document["modules"].is_array()) {
    fail(source, "\"modules\" must be an array");
  }
  if (document.contains("links") && !document["links"].is_array()) {
    fail(source, "\"links\" must be an array");
  }

  // Everything goes into a graph of its own, handed out only when complete; a
  // failure destroys it and touches nothing that exists.
  auto graph = std::make_unique<JGraph>();
  const Json& modules = document["modules"];
  for (std::size_t i = 0; i < modules.size(); ++i) {
    HeldBox::tellHeld(graph->add(moduleFromJson(modules[i], i, source, held)));
  }
  if (document.contains("links")) {
    const Json& links = document["links"];
    for (std::size_t i = 0; i < links.size(); ++i) linkFromJson(*graph, links[i], i, source);
  }
  // A file written by hand may leave places out; such boxes are put apart.
  std::vector<GivenPlace> given;
  for (const Json& module : modules) {
    given.push_back({module["content"].contains("x"), module["content"].contains("y")});
  }
  layOutUnplaced(*graph, given);
  return graph;
}

}  // namespace

std::unique_ptr<JGraph> graphFromJson(const std::string& json, const std::string& source) {
  return buildGraph(json, source, nullptr);
}

void saveGraphFile(const JGraph& graph, const std::string& path) {
  std::string text;
  try {
    text = graphToJson(graph);
  } catch (const std::exception& e) {
    fail(path, std::string("cannot save: ") + e.what());
  }
  writeFileAtomically(path, text);
}

void checkGraphFileWritable(const std::string& path) {
  checkWritableBeside(path);
}

std::unique_ptr<JGraph> loadGraphFile(const std::string& path) {
  return buildGraph(readWholeFile(path), path, nullptr);
}

std::unique_ptr<JGraph> loadServedGraphFile(const std::string& path,
                                            const std::map<int, CrashEntry>& held) {
  return buildGraph(readWholeFile(path), path, &held);
}
