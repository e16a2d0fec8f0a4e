#include "MyBox.h"

#include <qeno/JData.h>

MyBox::MyBox() {
  inputCount = 1;
  outputCount = 1;
  width = 80;
  height = 40;
}

MyBox::MyBox(const MyBox& other) : JAddObj(other), value_(other.value_.load()) {}

JString MyBox::inputName(int /*n*/) {
  return "in";
}

JString MyBox::outputName(int /*n*/) {
  return "twice";
}

void MyBox::inputChanged(int /*n*/, JLinkObj& link) {
  int in = 0;
  link.access(JIntegerData(in));
  value_ = 2 * in;
  repaint();
  broadcast(0);
}

void MyBox::getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) {
  static_cast<int&>(static_cast<JIntegerData&>(data)) = value_.load();
}

void MyBox::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, JString("x2 = ") + JInteger::toJString(value_.load(), 10), JRect(x, y, w, h));
}
