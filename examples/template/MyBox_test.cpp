// MyBox without qeno-host: in a graph of its own, its property as the
// property sheet sees it, and saved and loaded again. Any check that fails
// says which, and the test fails.

#include <qeno/JData.h>
#include <qeno/JGraph.h>
#include <qeno/JPersist.h>
#include <qeno/JProperty.h>

#include <cstdio>
#include <memory>

#include "MyBox.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "MyBox: %s\n", what);
  ++failures;
}

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

// The entry called name of box's property sheet, as the sheet lists it.
std::unique_ptr<JIntegerProperty> integerEntry(JModuleObj& box, const char* name) {
  JArray list = box.getProperties();
  for (int i = 0; i < list.size(); ++i) {
    auto* entry = dynamic_cast<JIntegerProperty*>(list.at(i));
    if (entry != nullptr && entry->getName() == name) {
      return std::make_unique<JIntegerProperty>(*entry);
    }
  }
  return nullptr;
}

}  // namespace

int main() {
  JGraph graph;
  auto& source = static_cast<Source&>(graph.add(std::make_unique<Source>()));
  auto& box = static_cast<MyBox&>(graph.add(std::make_unique<MyBox>()));
  auto& sink = static_cast<Sink&>(graph.add(std::make_unique<Sink>()));
  graph.link(source, 0, box, 0);
  graph.link(box, 0, sink, 0);
  auto send = [&](int value) {
    source.value = value;
    source.broadcast(0);
    return sink.value;
  };
  check(send(21) == 42 && send(-5) == -10, "does not double its input");
  check(send(2000000000) == 2147483647, "does not hold a result within an int");

  // The sheet lists the entry with its limits and refuses what lies outside
  // them before the box sees it; the box takes what lies inside.
  std::unique_ptr<JIntegerProperty> offset = integerEntry(box, "offset");
  check(offset && offset->value == 0 && offset->lower == -1000 && offset->upper == 1000,
        "lists no entry \"offset\" of 0 from -1000 to 1000");
  if (!offset) return 1;
  check(!offset->inLimits(1001), "takes an offset of 1001");
  offset->value = 5;
  check(box.updateProperty(*offset) == 1, "does not take an offset of 5");
  check(send(21) == 47, "does not add its offset");

  // Saved and loaded again, as a graph file keeps it; an entry left out (a
  // graph saved before the box had it) keeps the default.
  JOutputStream saved;
  box.saveContent(saved);
  JDictionary entries(saved.entries());
  MyBox loaded;
  loaded.loadContent(entries);
  std::unique_ptr<JIntegerProperty> back = integerEntry(loaded, "offset");
  check(back && back->value == 5, "does not load the offset it saved");
  JDictionary none;
  MyBox fresh;
  fresh.loadContent(none);
  back = integerEntry(fresh, "offset");
  check(back && back->value == 0, "does not keep its default when the entry is left out");
  return failures == 0 ? 0 : 1;
}
