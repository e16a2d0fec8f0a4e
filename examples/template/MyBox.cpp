#include "MyBox.h"

#include <qeno/JData.h>
#include <qeno/JPersist.h>

#include <algorithm>
#include <climits>
#include <cstdint>

MyBox::MyBox() {
  inputCount = 1;
  outputCount = 1;
  width = 80;
  height = 40;
}

MyBox::MyBox(const MyBox& other)
    : JAddObj(other), offset_(other.offset_.load()), value_(other.value_.load()) {}

JString MyBox::inputName(int /*n*/) {
  return "in";
}

JString MyBox::outputName(int /*n*/) {
  return "twice";
}

void MyBox::inputChanged(int /*n*/, JLinkObj& link) {
  int in = 0;
  link.access(JIntegerData(in));
  const std::int64_t result = 2 * std::int64_t{in} + offset_.load();
  value_ = static_cast<int>(std::clamp<std::int64_t>(result, INT_MIN, INT_MAX));
  repaint();
  broadcast(0);
}

void MyBox::getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) {
  static_cast<int&>(static_cast<JIntegerData&>(data)) = value_.load();
}

void MyBox::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, JString("x2 = ") + JInteger::toJString(value_.load(), 10), JRect(x, y, w, h));
}

JArray MyBox::getProperties() {
  JArray list = JAddObj::getProperties();
  list.append(JIntegerProperty("offset", offset_.load(), kOffsetLower, kOffsetUpper));
  return list;
}

unsigned char MyBox::updateProperty(JProperty& property) {
  if (JAddObj::updateProperty(property) != 0) return 1;
  auto* integer = dynamic_cast<JIntegerProperty*>(&property);
  if (integer == nullptr || !(property.getName() == "offset")) return 0;
  offset_ = integer->value;
  return 1;
}

void MyBox::writeContent(JOutputStream& stream) {
  JAddObj::writeContent(stream);
  putInteger(stream, "offset", offset_.load());
}

void MyBox::readContent(JDictionary& dictionary) {
  JAddObj::readContent(dictionary);
  // The sheet's limits do not guard a hand-written file.
  offset_ = std::clamp(getInteger(dictionary, "offset", 0), kOffsetLower, kOffsetUpper);
}
