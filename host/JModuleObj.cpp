#include "JModuleObj.h"

#include <algorithm>
#include <cmath>

#include "JGraph.h"
#include "JPersist.h"
#include "ModuleGuard.h"

int JModuleObj::depth2 = 8;

// ---- JFocusSet

int JFocusSet::count() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(links_.size());
}

void JFocusSet::add(JLinkObj* link) {
  std::lock_guard<std::mutex> hold(lock_);
  links_.push_back(link);
}

void JFocusSet::remove(JLinkObj* link) {
  std::lock_guard<std::mutex> hold(lock_);
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
}

// ---- JLinkObj

void JLinkObj::access(const JDataType& data) {
  if (source_ == nullptr) return;
  // The source's code runs inside the reader's: a throw there is the
  // source's fault, told as such, and then reaches the reader as it would
  // have without the guard.
  JModuleObj* source = source_;
  int type = 0;
  ModuleGuard::callPassingOn(source, "outputType", [&] { type = source->outputType(output_); });
  // The source's getOutput treats the holder as the class its output type
  // names, so only a holder of exactly that type may be handed over.
  if (type != data.typeId()) return;
  ModuleGuard::callPassingOn(source, "getOutput", [&] {
    source->getOutput(output_, *this, const_cast<JDataType&>(data));
  });
}

// ---- JModuleObj

namespace {

JRect toDevice(const JFRect& r, double dx, double dy, double scale) {
  return JRect(static_cast<int>(std::lround((r.x + dx) * scale)),
               static_cast<int>(std::lround((r.y + dy) * scale)),
               static_cast<int>(std::lround(r.width * scale)),
               static_cast<int>(std::lround(r.height * scale)));
}

// Where port n sits along an edge, as a fraction of the edge, and the length
// of its hit area as a fraction of the edge.
struct Slot {
  double centre;
  double length;
};

Slot slotOf(int n, int first, int count, double margin, double share) {
  count = std::max(count, 1);
  const double usable = 1.0 - 2.0 * margin;
  const double each = usable / count;
  return Slot{margin + each * ((n - first) + 0.5), each * share};
}

}  // namespace

JModuleObj::JModuleObj() : JViewObj() {
  x = 40;
  y = 40;
  width = 160;
  height = 200;
}

JModuleObj::JModuleObj(const JModuleObj& other) : JViewObj(other) {
  inputCount = other.inputCount;
  outputCount = other.outputCount;
}

// Copies geometry and port counts; graph membership, links and repaint
// requests belong to the box itself and are not copied.
JModuleObj& JModuleObj::operator=(const JModuleObj& other) {
  if (this != &other) {
    JViewObj::operator=(other);
    inputCount = other.inputCount;
    outputCount = other.outputCount;
  }
  return *this;
}

JModuleObj::~JModuleObj() = default;

void JModuleObj::paint(JGraphics g, double dx, double dy, JRegion& region, double scale) {
  if (!region.isEmpty()) g.setClip(region.bounds);
  const JRect box = getIExtent(dx, dy, scale);
  g.setJColor(JColor::lightGray);
  g.fillRect(box.x, box.y, box.width, box.height);
  g.setJColor(JColor::black);
  g.drawRect(box.x, box.y, box.width, box.height);
  for (int n = 0; n < inputCount; ++n) {
    JRect port = toDevice(inputArea(n), dx, dy, scale);
    g.fillRect(port.x, port.y, std::max(port.width, 1), std::max(port.height, 1));
  }
  for (int n = 0; n < outputCount; ++n) {
    JRect port = toDevice(outputArea(n), dx, dy, scale);
    g.fillRect(port.x, port.y, std::max(port.width, 1), std::max(port.height, 1));
  }
  drawInterior(g, box.x + depth2, box.y + depth2, box.width - 2 * depth2, box.height - 2 * depth2);
}

JRect JModuleObj::getIExtent(double dx, double dy, double scale) {
  return toDevice(JFRect(x, y, width, height), dx, dy, scale);
}

JArray JModuleObj::getProperties() {
  JArray list;
  list.append(JIntegerProperty("x", static_cast<int>(std::lround(x)), -10000, 10000));
  list.append(JIntegerProperty("y", static_cast<int>(std::lround(y)), -10000, 10000));
  list.append(JIntegerProperty("width", static_cast<int>(std::lround(width)), 24, 2000));
  list.append(JIntegerProperty("height", static_cast<int>(std::lround(height)), 24, 2000));
  return list;
}

unsigned char JModuleObj::updateProperty(JProperty& property) {
  auto* integer = dynamic_cast<JIntegerProperty*>(&property);
  if (integer == nullptr) return 0;
  const JString name = property.getName();
  double* field = name == "x"        ? &x
                  : name == "y"      ? &y
                  : name == "width"  ? &width
                  : name == "height" ? &height
                                     : nullptr;
  if (field == nullptr) return 0;
  *field = integer->value;
  repaint();
  return 1;
}

JString JModuleObj::inputName(int n) {
  return JString("in_") + JInteger::toJString(n + 1, 10);
}
JString JModuleObj::outputName(int n) {
  return JString("out_") + JInteger::toJString(n + 1, 10);
}
int JModuleObj::inputType(int /*n*/) {
  return JIntegerData::id;
}
int JModuleObj::outputType(int /*n*/) {
  return JIntegerData::id;
}
void JModuleObj::getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& /*data*/) {}
bool JModuleObj::inputAllowed(int n) {
  return inputSet(n).count() == 0;
}
bool JModuleObj::outputAllowed(int /*n*/) {
  return true;
}
JFRect JModuleObj::inputArea(int n) {
  return leftArea(n, 0, inputCount, 0.1, 0.5, 6);
}
JFRect JModuleObj::outputArea(int n) {
  return rightArea(n, 0, outputCount, 0.1, 0.5, 6);
}
int JModuleObj::inputFace(int /*n*/) {
  return kFaceLeft;
}
int JModuleObj::outputFace(int /*n*/) {
  return kFaceRight;
}
JFPoint JModuleObj::inputPoint(int n, JLinkObj& link) {
  return leftPoint(n, link, 0, inputCount, 0.1, 0.5);
}
JFPoint JModuleObj::outputPoint(int n, JLinkObj& link) {
  return rightPoint(n, link, 0, outputCount, 0.1, 0.5);
}
void JModuleObj::inputChanged(int /*n*/, JLinkObj& /*link*/) {}

void JModuleObj::broadcast(int n) {
  if (JGraph* g = graph()) g->propagate(*this, n);
}

void JModuleObj::repaint() {
  ++repaints_;
  if (JGraph* g = graph()) g->requestRepaint(*this);
}

JFocusSet& JModuleObj::inputSet(int n) {
  std::lock_guard<std::mutex> hold(inputSetsLock_);
  std::unique_ptr<JFocusSet>& set = inputSets_[n];
  if (!set) set = std::make_unique<JFocusSet>();
  return *set;
}

void JModuleObj::drawText(JGraphics g, const JString& text, const JRect& rect) {
  g.drawText(text, rect);
}

void JModuleObj::writeContent(JOutputStream& stream) {
  putInteger(stream, "x", static_cast<int>(std::lround(x)));
  putInteger(stream, "y", static_cast<int>(std::lround(y)));
  putInteger(stream, "width", static_cast<int>(std::lround(width)));
  putInteger(stream, "height", static_cast<int>(std::lround(height)));
}

void JModuleObj::readContent(JDictionary& dictionary) {
  x = getInteger(dictionary, "x", static_cast<int>(std::lround(x)));
  y = getInteger(dictionary, "y", static_cast<int>(std::lround(y)));
  width = getInteger(dictionary, "width", static_cast<int>(std::lround(width)));
  height = getInteger(dictionary, "height", static_cast<int>(std::lround(height)));
}

JFRect JModuleObj::topArea(int n, int first, int count, double margin, double share, int size) {
  Slot s = slotOf(n, first, count, margin, share);
  return JFRect(x + width * (s.centre - s.length / 2), y - size, width * s.length, size);
}

JFRect JModuleObj::bottomArea(int n, int first, int count, double margin, double share, int size) {
  Slot s = slotOf(n, first, count, margin, share);
  return JFRect(x + width * (s.centre - s.length / 2), y + height, width * s.length, size);
}

JFRect JModuleObj::leftArea(int n, int first, int count, double margin, double share, int size) {
  Slot s = slotOf(n, first, count, margin, share);
  return JFRect(x - size, y + height * (s.centre - s.length / 2), size, height * s.length);
}

JFRect JModuleObj::rightArea(int n, int first, int count, double margin, double share, int size) {
  Slot s = slotOf(n, first, count, margin, share);
  return JFRect(x + width, y + height * (s.centre - s.length / 2), size, height * s.length);
}

JFPoint JModuleObj::topPoint(int n, JLinkObj& /*link*/, int first, int count, double margin,
                             double share) {
  return JFPoint(x + width * slotOf(n, first, count, margin, share).centre, y);
}

JFPoint JModuleObj::bottomPoint(int n, JLinkObj& /*link*/, int first, int count, double margin,
                                double share) {
  return JFPoint(x + width * slotOf(n, first, count, margin, share).centre, y + height);
}

JFPoint JModuleObj::leftPoint(int n, JLinkObj& /*link*/, int first, int count, double margin,
                              double share) {
  return JFPoint(x, y + height * slotOf(n, first, count, margin, share).centre);
}

JFPoint JModuleObj::rightPoint(int n, JLinkObj& /*link*/, int first, int count, double margin,
                               double share) {
  return JFPoint(x + width, y + height * slotOf(n, first, count, margin, share).centre);
}
