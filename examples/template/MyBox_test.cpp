// MyBox in a graph of its own: a value sent to its input reaches the box
// linked to its output, doubled.

#include <qeno/JData.h>
#include <qeno/JGraph.h>

#include <cstdio>
#include <memory>

#include "MyBox.h"

namespace {

// Stands in for the box that feeds MyBox: one integer output.
class Source : public JAddObj {
 public:
  Source() { outputCount = 1; }
  [[nodiscard]] const char* className() const override { return "TestSource"; }
  [[nodiscard]] JObject* clone() const override { return new Source(*this); }
  void getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) override {
    static_cast<int&>(static_cast<JIntegerData&>(data)) = value;
  }
  int value = 0;
};

// Stands in for the box MyBox feeds: keeps what arrives.
class Sink : public JAddObj {
 public:
  Sink() { inputCount = 1; }
  [[nodiscard]] const char* className() const override { return "TestSink"; }
  [[nodiscard]] JObject* clone() const override { return new Sink(*this); }
  void inputChanged(int /*n*/, JLinkObj& link) override { link.access(JIntegerData(value)); }
  int value = 0;
};

}  // namespace

int main() {
  JGraph graph;
  auto& source = static_cast<Source&>(graph.add(std::make_unique<Source>()));
  JModuleObj& box = graph.add(std::make_unique<MyBox>());
  auto& sink = static_cast<Sink&>(graph.add(std::make_unique<Sink>()));
  graph.link(source, 0, box, 0);
  graph.link(box, 0, sink, 0);

  for (int in : {21, -5, 0}) {
    source.value = in;
    source.broadcast(0);
    if (sink.value != 2 * in) {
      std::fprintf(stderr, "MyBox: %d in, %d out, expected %d\n", in, sink.value, 2 * in);
      return 1;
    }
  }
  return 0;
}
