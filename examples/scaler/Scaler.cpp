#include "Scaler.h"

#include <qeno/JData.h>
#include <qeno/JPersist.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

constexpr int kFactorLower = -1000;
constexpr int kFactorUpper = 1000;

}  // namespace

Scaler::Scaler() {
  inputCount = 1;
  outputCount = 1;
  width = 100;
  height = 50;
}

Scaler::Scaler(const Scaler& other)
    : JAddObj(other),
      JBoxHelp(other),
      factor_(other.factor_.load()),
      product_(other.product_.load()) {}

JString Scaler::inputName(int /*n*/) {
  return "in";
}

JString Scaler::outputName(int /*n*/) {
  return "out";
}

void Scaler::inputChanged(int /*n*/, JLinkObj& link) {
  int in = 0;
  link.access(JIntegerData(in));
  const std::int64_t product = std::int64_t{in} * factor_.load();
  product_ = static_cast<int>(std::clamp<std::int64_t>(product, INT_MIN, INT_MAX));
  repaint();
  broadcast(0);
}

void Scaler::getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) {
  static_cast<int&>(static_cast<JIntegerData&>(data)) = product_.load();
}

// The base's entries (the box's place and size) come first.
JArray Scaler::getProperties() {
  JArray list = JAddObj::getProperties();
  list.append(JIntegerProperty("factor", factor_.load(), kFactorLower, kFactorUpper));
  return list;
}

// The sheet has checked the kind and the limits; the base takes its own
// entries first. 0 tells the sheet that the entry is not this box's.
unsigned char Scaler::updateProperty(JProperty& property) {
  if (JAddObj::updateProperty(property) != 0) return 1;
  auto* integer = dynamic_cast<JIntegerProperty*>(&property);
  if (integer == nullptr || !(property.getName() == "factor")) return 0;
  factor_ = integer->value;
  repaint();
  return 1;
}

// A sentence each for the class, its ports and its own property; an empty
// text says nothing.
JString Scaler::description() const {
  return "Multiplies each value on in by factor and sends the product on out.";
}

JString Scaler::inputDescription(int /*n*/) const {
  return "Each value is multiplied by factor and sent on.";
}

JString Scaler::outputDescription(int /*n*/) const {
  return "The last product, held within int.";
}

JString Scaler::propertyDescription(const JString& name) const {
  return name == "factor" ? JString("What each value on in is multiplied by.") : JString();
}

void Scaler::writeContent(JOutputStream& stream) {
  JAddObj::writeContent(stream);
  putInteger(stream, "factor", factor_.load());
}

// An entry left out of the saved graph keeps the default.
void Scaler::readContent(JDictionary& dictionary) {
  JAddObj::readContent(dictionary);
  factor_ = getInteger(dictionary, "factor", 2);
}

// The base draws the frame, the ports and the interior; the band goes over.
void Scaler::paint(JGraphics g, double dx, double dy, JRegion& region, double scale) {
  JAddObj::paint(g, dx, dy, region, scale);
  const JRect box = getIExtent(dx, dy, scale);
  const int product = product_.load();
  if (product == 0 || box.height <= 3 * depth2) return;
  g.setJColor(product > 0 ? JColor::green : JColor::red);
  g.fillRect(box.x + depth2, box.y + box.height - depth2, box.width - 2 * depth2, depth2 / 2);
}

void Scaler::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, JString("x ") + JInteger::toJString(factor_.load(), 10), JRect(x, y, w, h / 2));
  drawText(g, JInteger::toJString(product_.load(), 10), JRect(x, y + h / 2, w, h / 2));
}

namespace {

// Loading the library registers the class.
struct Registration {
  Registration() {
    Scaler prototype;
    prototype.Register();
  }
};

const Registration registration;

}  // namespace
