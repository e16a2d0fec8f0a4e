#include "GraphSnapshot.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <set>

#include "BoxRenderer.h"
#include "HostModules.h"
#include "JComponent.h"
#include "ModuleGuard.h"
#include "PropertySheet.h"
#include "ServerStateNames.h"

namespace {

using nlohmann::json;

constexpr const char* kServerClass = "QenoServer";

json rectJson(const JFRect& r) {
  return json::array({r.x, r.y, r.width, r.height});
}

const char* typeName(int id) {
  switch (id) {
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

json outputsJson(JModuleObj& box) {
  json outputs = json::array();
  for (int n = 0; n < box.getOutputCount(); ++n) {
    const int type = box.outputType(n);
    json port = {{"name", box.outputName(n).str()},
                 {"type", typeName(type)},
                 {"area", rectJson(box.outputArea(n))}};
    if (type == JIntegerData::id) {
      JLinkObj probe(&box, n, nullptr, 0);
      int value = 0;
      JIntegerData holder(value);
      box.getOutput(n, probe, holder);
      port["value"] = value;
    }
    outputs.push_back(std::move(port));
  }
  return outputs;
}

json propertiesJson(JModuleObj& box) {
  json rows = json::array();
  for (const PropertyRow& row : listProperties(box)) {
    json entry = {
        {"name", row.name}, {"kind", row.isInteger ? "integer" : "text"}, {"value", row.value}};
    if (row.isInteger) {
      entry["lower"] = row.lower;
      entry["upper"] = row.upper;
    }
    rows.push_back(std::move(entry));
  }
  return rows;
}

std::string lastText(JModuleObj& box, int output) {
  if (output < 0 || box.outputType(output) != JStringData::id) return {};
  JLinkObj probe(&box, output, nullptr, 0);
  JString text;
  JStringData holder(text);
  box.getOutput(output, probe, holder);
  return text.str();
}

}  // namespace

GraphSnapshot::GraphSnapshot(JGraph& graph, StateOf stateOf, bool canSave)
    : graph_(graph), stateOf_(std::move(stateOf)), canSave_(canSave) {}

void GraphSnapshot::markRepainted(const JModuleObj& box) {
  auto found = pictures_.find(&box);
  if (found != pictures_.end()) found->second.stale = true;
}

GraphSnapshot::Picture& GraphSnapshot::pictureOf(JModuleObj& box) {
  Picture& picture = pictures_[&box];
  if (!picture.stale) return picture;
  picture.stale = false;
  const JImage image = renderModule(box);
  picture.marginPx = (image.width() - static_cast<int>(std::lround(box.width))) / 2;
  std::string png = image.pngBytes();
  if (png != picture.image.png) {
    picture.image.png = std::move(png);
    picture.image.version = nextVersion_++;
  }
  picture.square = -1;
  if (std::string(box.className()) == kServerClass) {
    // The connection square sits in the box's top left corner.
    const int inside = picture.marginPx + JModuleObj::depth2 + JModuleObj::depth2 / 2;
    const JColor colour = image.pixel(inside, inside);
    if (colour == JColor::green) picture.square = 1;
    if (colour == JColor::red) picture.square = 0;
  }
  return picture;
}

std::string GraphSnapshot::shownText(const std::string& text) {
  constexpr auto kUtf8 = JComponent::EscapeStyle::kUtf8;
  if (text.size() <= kChunkShown) return JComponent::escape(text, kUtf8);
  // Cut before a character, not inside one.
  std::size_t cut = kChunkShown;
  while (cut > kChunkShown - 3 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
  return JComponent::escape(text.substr(0, cut), kUtf8) + "...";
}

std::string GraphSnapshot::build(const std::map<const JModuleObj*, long>& requests) {
  static const char* const kSquares[] = {"red", "green"};
  json modules = json::array();
  images_.clear();
  std::set<const JModuleObj*> present;
  const auto& boxes = graph_.modules();
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    JModuleObj& box = *boxes[i];
    present.insert(&box);
    Picture& picture = pictureOf(box);
    images_.push_back(picture.image);
    json inputs = json::array();
    for (int n = 0; n < box.getInputCount(); ++n) {
      inputs.push_back({{"name", box.inputName(n).str()},
                        {"type", typeName(box.inputType(n))},
                        {"area", rectJson(box.inputArea(n))}});
    }
    json entry = {{"index", i},
                  {"class", box.className()},
                  {"x", box.x},
                  {"y", box.y},
                  {"width", box.width},
                  {"height", box.height},
                  {"image", {{"version", picture.image.version}, {"margin", picture.marginPx}}},
                  {"inputs", std::move(inputs)},
                  {"outputs", outputsJson(box)},
                  {"properties", propertiesJson(box)}};
    if (std::string(box.className()) == kServerClass) {
      const ServerState state = stateOf_ ? stateOf_(box) : ServerState::kIdle;
      auto served = requests.find(&box);
      entry["server"] = {
          {"state", serverStateName(state)},
          {"square", picture.square < 0 ? "none" : kSquares[picture.square]},
          {"lastChunk", GraphSnapshot::shownText(lastText(box, ServerPorts::kTextOutput))},
          {"requests", served == requests.end() ? 0 : served->second}};
    }
    if (auto* source = dynamic_cast<JIntegerSource*>(&box)) entry["value"] = source->getValue();
    if (auto fault = ModuleGuard::faultOf(&box)) {
      entry["fault"] = {{"operation", fault->operation}, {"message", fault->message}};
    }
    modules.push_back(std::move(entry));
  }
  // Forget the pictures of boxes that left the graph.
  std::erase_if(pictures_, [&](const auto& item) { return present.count(item.first) == 0; });

  json links = json::array();
  for (const auto& link : graph_.links()) {
    JModuleObj* from = link->getSource();
    JModuleObj* to = link->getTarget();
    const JFPoint start = from->outputPoint(link->getOutput(), *link);
    const JFPoint end = to->inputPoint(link->getInput(), *link);
    links.push_back({{"from", {{"module", graph_.indexOf(*from)}, {"output", link->getOutput()}}},
                     {"to", {{"module", graph_.indexOf(*to)}, {"input", link->getInput()}}},
                     {"points", json::array({start.x, start.y, end.x, end.y})}});
  }
  json state = {
      {"canSave", canSave_}, {"modules", std::move(modules)}, {"links", std::move(links)}};
  return state.dump(-1, ' ', false, json::error_handler_t::replace);
}
