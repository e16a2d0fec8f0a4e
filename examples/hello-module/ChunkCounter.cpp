#include "ChunkCounter.h"

#include <qeno/JData.h>

ChunkCounter::ChunkCounter() {
  inputCount = 1;
  outputCount = 1;
  width = 100;
  height = 40;
}

ChunkCounter::ChunkCounter(const ChunkCounter& other)
    : JAddObj(other), count_(other.count_.load()) {}

JString ChunkCounter::inputName(int /*n*/) {
  return "text";
}

int ChunkCounter::inputType(int /*n*/) {
  return JStringData::id;
}

JString ChunkCounter::outputName(int /*n*/) {
  return "count";
}

void ChunkCounter::inputChanged(int n, JLinkObj& /*link*/) {
  if (n != 0) return;
  ++count_;
  repaint();
  broadcast(0);  // linked inputs take the new count before this call returns
}

void ChunkCounter::getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) {
  static_cast<int&>(static_cast<JIntegerData&>(data)) = count_.load();
}

void ChunkCounter::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, JInteger::toJString(count_.load(), 10) + " chunks", JRect(x, y, w, h));
}

namespace {

// Loading the library registers the class; the host clones the prototype
// for every box, and keeps nothing that points at this temporary.
struct Registration {
  Registration() {
    ChunkCounter prototype;
    prototype.Register();
  }
};

const Registration registration;

}  // namespace
