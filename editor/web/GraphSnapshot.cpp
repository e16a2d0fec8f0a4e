#include "GraphSnapshot.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <set>

#include "BoxRenderer.h"
#include "BoxWords.h"
#include "GraphEditor.h"
#include "HeldBox.h"
#include "HostModules.h"
#include "JComponent.h"
#include "ModuleGuard.h"
#include "PortQueries.h"
#include "PropertySheet.h"
#include "ServerBox.h"
#include "SocketCensus.h"

namespace {

using nlohmann::json;

// A coordinate to a hundredth of a pixel: finer does not show, and the state
// of a large graph is half as long.
double px(double value) {
  return std::round(value * 100) / 100;
}

json rectJson(const JFRect& r) {
  return json::array({px(r.x), px(r.y), px(r.width), px(r.height)});
}

// Ports with areas relative to the box's top left corner, so that boxes of
// a class share them wherever they stand.
json portsJson(JModuleObj& box, bool inputs) {
  json ports = json::array();
  // Asked inside the guard: a box that throws is told, and drawn as a plain one.
  const std::vector<int> outputTypes = inputs ? std::vector<int>() : PortQueries::outputTypes(box);
  const int count = inputs ? box.getInputCount() : static_cast<int>(outputTypes.size());
  for (int n = 0; n < count; ++n) {
    JFRect area = inputs ? PortQueries::inputArea(box, n) : PortQueries::outputArea(box, n);
    area.x -= box.x;
    area.y -= box.y;
    const int type =
        inputs ? PortQueries::inputType(box, n) : outputTypes[static_cast<std::size_t>(n)];
    ports.push_back(
        {{"name", inputs ? PortQueries::inputName(box, n) : PortQueries::outputName(box, n)},
         {"type", dataTypeName(type)},
         {"area", rectJson(area)}});
  }
  return ports;
}

// The values of the integer outputs, null for the others.
json valuesJson(JModuleObj& box) {
  json values = json::array();
  for (const std::optional<int>& value : PortQueries::integerValues(box)) {
    if (value) {
      values.push_back(*value);
    } else {
      values.push_back(nullptr);
    }
  }
  return values;
}

// The entries of the box's sheet without their values, and the values.
void propertiesJson(JModuleObj& box, json& entries, json& values) {
  entries = json::array();
  values = json::array();
  for (const PropertyRow& row : listProperties(box)) {
    json entry = {{"name", row.name}, {"kind", row.isInteger ? "integer" : "text"}};
    if (row.isInteger) {
      entry["lower"] = row.lower;
      entry["upper"] = row.upper;
    }
    entries.push_back(std::move(entry));
    values.push_back(row.value);
  }
}

std::string lastText(JModuleObj& box, int output) {
  JString text;
  PortQueries::readOutput(box, output, JStringData(text));
  return text.str();
}

std::string dumped(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Time a take may spend painting pictures that changed; the rest wait for
// the next take, so a busy graph never holds up the page.
constexpr auto kPaintBudget = std::chrono::milliseconds(4);

}  // namespace

GraphSnapshot::GraphSnapshot(JGraph& graph, Hooks hooks, bool canSave, const GraphEditor* editor)
    : graph_(graph), hooks_(std::move(hooks)), canSave_(canSave), editor_(editor) {}

void GraphSnapshot::markRepainted(const JModuleObj& box) {
  auto found = pictures_.find(&box);
  if (found != pictures_.end()) found->second.stale = true;
}

GraphSnapshot::Picture& GraphSnapshot::pictureOf(JModuleObj& box, bool mayPaint) {
  Picture& picture = pictures_[&box];
  if (!picture.stale || (!mayPaint && picture.image.png)) return picture;
  picture.stale = false;
  const JImage image = renderModule(box);
  picture.marginPx = (image.width() - static_cast<int>(std::lround(box.width))) / 2;
  std::string png = image.pngBytes();
  if (!picture.image.png || png != *picture.image.png) {
    picture.image.png = std::make_shared<const std::string>(std::move(png));
    picture.image.version = nextVersion_++;
  }
  picture.square = ServerBox::is(box) ? ServerBox::squareIn(image, picture.marginPx) : -1;
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

GraphSnapshot::Fields GraphSnapshot::shapeOf(JModuleObj& box, Shown& shown) {
  const std::string className = box.className();
  const std::string ports =
      dumped({{"inputs", portsJson(box, true)}, {"outputs", portsJson(box, false)}});
  json entries;
  json values;
  propertiesJson(box, entries, values);
  const std::string sheet = dumped(entries);
  Fields fields = {{"class", dumped(className)}};
  // Taken before the old ones are let go, so a box that keeps its layout
  // never makes it leave the table.
  std::string layout = className + " " + dumped(px(box.width)) + "x" + dumped(px(box.height));
  if (layouts_.use(layout, ports)) {
    fields.emplace_back("layout", dumped(layout));
  } else {
    layout.clear();
    fields.emplace_back("ports", ports);
  }
  std::string sheetKey = className;
  if (sheets_.use(sheetKey, sheet)) {
    fields.emplace_back("settings", dumped(values));
  } else {
    sheetKey.clear();
    // Its own entries, each with its value.
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i]["value"] = values[i];
    fields.emplace_back("properties", dumped(entries));
  }
  forget(shown);
  shown.layout = std::move(layout);
  shown.sheet = std::move(sheetKey);
  return fields;
}

void GraphSnapshot::forget(Shown& shown) {
  layouts_.release(shown.layout);
  sheets_.release(shown.sheet);
  shown.layout.clear();
  shown.sheet.clear();
}

GraphSnapshot::Fields GraphSnapshot::liveOf(JModuleObj& box, const Picture& picture,
                                            const std::map<const JModuleObj*, long>& chunks) const {
  static const char* const kSquares[] = {"red", "green"};
  Fields fields = {
      {"x", dumped(box.x)},
      {"y", dumped(box.y)},
      {"width", dumped(box.width)},
      {"height", dumped(box.height)},
      {"image", dumped({{"version", picture.image.version}, {"margin", picture.marginPx}})},
      {"values", dumped(valuesJson(box))}};
  if (ServerBox::is(box)) {
    const ServerState state = hooks_.stateOf ? hooks_.stateOf(box) : ServerState::kIdle;
    auto received = chunks.find(&box);
    fields.emplace_back(
        "server",
        dumped({{"state", ServerBox::stateName(state)},
                {"square", picture.square < 0 ? "none" : kSquares[picture.square]},
                {"lastChunk", GraphSnapshot::shownText(lastText(box, ServerPorts::kTextOutput))},
                {"requests", SocketCensus::acceptedBy(&box)},
                {"chunks", received == chunks.end() ? 0 : received->second}}));
  }
  const std::optional<JBoxStatus::Line> status =
      hooks_.statusOf ? hooks_.statusOf(box) : JBoxStatus::of(box);
  if (status) {
    fields.emplace_back("status", dumped({{"text", status->text},
                                          {"colour", JBoxStatus::colourName(status->colour)}}));
  }
  if (auto* source = dynamic_cast<JIntegerSource*>(&box)) {
    fields.emplace_back("value", dumped(source->getValue()));
  }
  if (dynamic_cast<const HeldBox*>(&box) != nullptr) fields.emplace_back("held", "true");
  if (auto fault = ModuleGuard::faultOf(&box)) {
    fields.emplace_back("fault",
                        dumped({{"operation", fault->operation}, {"message", fault->message}}));
  }
  return fields;
}

std::string GraphSnapshot::flagsText() const {
  const bool canUndo = editor_ != nullptr && editor_->canUndo();
  const bool canRedo = editor_ != nullptr && editor_->canRedo();
  return dumped({{"canSave", canSave_}, {"canUndo", canUndo}, {"canRedo", canRedo}});
}

namespace {

// Whether x, y, width or height, the first four live fields, changed.
template <typename FieldList>
bool placeChanged(const FieldList& before, const FieldList& now) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (before[i].second != now[i].second) return true;
  }
  return false;
}

// The field of fields named name, or null.
template <typename FieldList>
const std::string* fieldNamed(const FieldList& fields, const char* name) {
  for (const auto& field : fields) {
    if (std::strcmp(field.first, name) == 0) return &field.second;
  }
  return nullptr;
}

// Adds to change the fields of now that differ from before, and a null for
// each field before had that now lacks.
template <typename FieldList>
void addChanged(const FieldList& before, const FieldList& now, std::string& change) {
  for (const auto& field : now) {
    const std::string* old = fieldNamed(before, field.first);
    if (old != nullptr && *old == field.second) continue;
    change += (change.empty() ? "\"" : ",\"") + std::string(field.first) + "\":" + field.second;
  }
  for (const auto& field : before) {
    if (fieldNamed(now, field.first) == nullptr) {
      change += (change.empty() ? "\"" : ",\"") + std::string(field.first) + "\":null";
    }
  }
}

void appendFields(const std::vector<std::pair<const char*, std::string>>& fields,
                  std::string& out) {
  for (const auto& [name, value] : fields) out += ",\"" + std::string(name) + "\":" + value;
}

}  // namespace

std::string GraphSnapshot::update(const std::map<const JModuleObj*, long>& chunks,
                                  const std::set<const JModuleObj*>& touched) {
  const auto started = std::chrono::steady_clock::now();
  const std::uint64_t edition = edition_.load();
  // What no box tells (a connection opened or closed without a text) shows
  // by the sweep.
  const bool sweep = started - lastSweep_ >= kSweep;
  if (sweep) lastSweep_ = started;
  std::string modules;
  std::set<int> present;
  std::set<const JModuleObj*> boxes;
  behind_ = false;
  for (const auto& owned : graph_.modules()) {
    JModuleObj& box = *owned;
    const int number = graph_.numberOf(box);
    present.insert(number);
    boxes.insert(&box);
    Shown& shown = shown_[number];
    const bool fresh = shown.box != &box;
    auto known = pictures_.find(&box);
    const bool repainted = known == pictures_.end() || known->second.stale;
    const bool edited = shown.edition != edition || editedBoxes_.count(number) != 0;
    if (!fresh && !sweep && !repainted && !edited && touched.count(&box) == 0) continue;

    const bool mayPaint = std::chrono::steady_clock::now() - started < kPaintBudget;
    Picture& picture = pictureOf(box, mayPaint);
    behind_ = behind_ || picture.stale;
    images_[number] = picture.image;
    Fields live = liveOf(box, picture, chunks);
    std::string change;
    if (fresh || edited || placeChanged(shown.live, live)) {
      // Ports follow the box's place and size.
      Fields shape = shapeOf(box, shown);
      if (!fresh) addChanged(shown.shape, shape, change);
      shown.shape = std::move(shape);
      shown.edition = edition;
    }
    if (fresh) {
      // A whole box, with its number: the page replaces what it had under it.
      shown.box = &box;
      change = "\"module\":" + std::to_string(number);
      appendFields(shown.shape, change);
      appendFields(live, change);
    } else {
      addChanged(shown.live, live, change);
    }
    shown.live = std::move(live);
    if (!change.empty()) {
      modules += (modules.empty() ? "\"" : ",\"") + std::to_string(number) + "\":{" + change + "}";
    }
  }
  editedBoxes_.clear();
  for (auto it = shown_.begin(); it != shown_.end();) {
    if (present.count(it->first) != 0) {
      ++it;
      continue;
    }
    modules += (modules.empty() ? "\"" : ",\"") + std::to_string(it->first) + "\":null";
    forget(it->second);
    images_.erase(it->first);
    it = shown_.erase(it);
  }
  // Forget the pictures of boxes that left the graph.
  std::erase_if(pictures_, [&](const auto& item) { return boxes.count(item.first) == 0; });

  std::string change;
  // The shapes boxes share come before the boxes that use them.
  if (std::string added = layouts_.added(); !added.empty())
    change += "\"layouts\":{" + added + "},";
  if (std::string added = sheets_.added(); !added.empty()) change += "\"sheets\":{" + added + "},";
  if (!modules.empty()) change += "\"modules\":{" + modules + "}";
  if (!change.empty() && change.back() == ',') change.pop_back();
  // Links move only with the graph's changes (boxes, links, places).
  if (sweep || graph_.changeCount() != linksChange_ || links_.empty()) {
    linksChange_ = graph_.changeCount();
    std::string linksNow = linksText();
    if (linksNow != links_) change += (change.empty() ? "" : ",") + ("\"links\":" + linksNow);
    links_ = std::move(linksNow);
  }
  std::string flagsNow = flagsText();
  if (flagsNow != flags_) {
    change += (change.empty() ? "" : ",") + flagsNow.substr(1, flagsNow.size() - 2);
  }
  flags_ = std::move(flagsNow);
  return change.empty() ? std::string() : "{" + change + "}";
}

std::string GraphSnapshot::linksText() const {
  json links = json::array();
  for (const auto& link : graph_.links()) {
    JModuleObj* from = link->getSource();
    JModuleObj* to = link->getTarget();
    const JFPoint start = PortQueries::outputPoint(*from, *link);
    const JFPoint end = PortQueries::inputPoint(*to, *link);
    links.push_back({{"from", {{"module", graph_.numberOf(*from)}, {"output", link->getOutput()}}},
                     {"to", {{"module", graph_.numberOf(*to)}, {"input", link->getInput()}}},
                     {"points", json::array({px(start.x), px(start.y), px(end.x), px(end.y)})}});
  }
  return dumped(links);
}

std::string GraphSnapshot::whole() const {
  std::string out = flags_.substr(0, flags_.size() - 1) + ",\"layouts\":{" + layouts_.all() +
                    "},\"sheets\":{" + sheets_.all() + "},\"modules\":[";
  bool first = true;
  for (const auto& [number, shown] : shown_) {
    out += (first ? "{" : ",{") + ("\"module\":" + std::to_string(number));
    first = false;
    appendFields(shown.shape, out);
    appendFields(shown.live, out);
    out += "}";
  }
  return out + "],\"links\":" + links_ + "}";
}
