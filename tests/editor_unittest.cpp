// Graph edits and their one history: each edit, its undo and its redo.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "GraphEditor.h"
#include "HostModules.h"
#include "HostProcess.h"
#include "JGraph.h"
#include "JPropertyRefusal.h"
#include "JRegistry.h"
#include "PropertySheet.h"
#include "QenoServer.h"
#include "Serving.h"
#include "TestSupport.h"

using qeno::test::TcpClient;

namespace {

class GraphEditorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    registerHostModules();
    if (!JRegistry::instance().contains("QenoServer")) JRegistry::instance().add(QenoServer());
  }

  // The number of box's link into input, from where, or -1.
  int linkedFrom(int box, int input) const {
    for (const auto& link : graph_.links()) {
      if (graph_.numberOf(*link->getTarget()) == box && link->getInput() == input) {
        return graph_.numberOf(*link->getSource());
      }
    }
    return -1;
  }

  std::string property(int box, const std::string& name) const {
    for (const PropertyRow& row : listProperties(*graph_.numbered(box))) {
      if (row.name == name) return row.value;
    }
    return "<none>";
  }

  JGraph graph_;
  GraphEditor editor_{graph_};
};

// An author's box that keeps low <= high and tells why it will not take a
// value; "mode" it refuses as a 0.1 module does, without a reason.
class Clamp : public JAddObj {
 public:
  [[nodiscard]] const char* className() const override { return "Clamp"; }
  [[nodiscard]] JObject* clone() const override { return new Clamp(*this); }
  JArray getProperties() override {
    JArray list = JAddObj::getProperties();
    list.append(JIntegerProperty("low", low, -100, 100));
    list.append(JIntegerProperty("high", high, -100, 100));
    list.append(JStringProperty("mode", "fixed"));
    // Told outside an edit: no edit's reason.
    JPropertyRefusal::refuse(*this, "stale");
    return list;
  }
  unsigned char updateProperty(JProperty& property) override {
    if (JAddObj::updateProperty(property) != 0) return 1;
    auto* integer = dynamic_cast<JIntegerProperty*>(&property);
    if (integer == nullptr) return 0;
    const bool isLow = property.getName() == "low";
    if (isLow ? integer->value > high : integer->value < low) {
      JPropertyRefusal::refuse(
          *this, isLow ? "low must not exceed high\n(now 3)" : "high must not be below low");
      return 0;
    }
    (isLow ? low : high) = integer->value;
    return 1;
  }
  int low = 0;
  int high = 3;
};

}  // namespace

TEST_F(GraphEditorTest, ABoxRefusesAValueWithItsReasonAndAWordlessRefusalStaysAsItWas) {
  JModuleObj& box = graph_.add(std::make_unique<Clamp>());
  const int number = graph_.numberOf(box);
  EXPECT_EQ(editor_.setProperty(number, "low", "5"),
            "Clamp did not take property 'low': low must not exceed high\\n(now 3)");
  EXPECT_EQ(editor_.setProperty(number, "mode", "free"), "Clamp did not take property 'mode'");
  ASSERT_EQ(editor_.setProperty(number, "low", "2"), "");
  EXPECT_EQ(editor_.setProperty(number, "high", "1"),
            "Clamp did not take property 'high': high must not be below low");
  // Refused values changed nothing, and a refusal is no step of the history.
  EXPECT_EQ(property(number, "low"), "2");
  EXPECT_EQ(property(number, "high"), "3");
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(property(number, "low"), "0");
  EXPECT_EQ(editor_.undo(), "nothing to undo");
}

TEST_F(GraphEditorTest, AddLinkMoveAndSetEachUndoAndRedo) {
  int server = -1;
  int source = -1;
  ASSERT_EQ(editor_.add("QenoServer", 100, 40, server), "");
  ASSERT_EQ(editor_.add("IntegerSource", 10, 20, source), "");
  EXPECT_EQ(server, 0);
  EXPECT_EQ(source, 1);
  int unused = -1;
  EXPECT_EQ(editor_.add("NoSuchClass", 0, 0, unused), "no class NoSuchClass is registered");

  ASSERT_EQ(editor_.link(source, "0", server, "readInput"), "");
  EXPECT_EQ(linkedFrom(server, ServerPorts::kReadInput), source);
  // Refusals say why and change nothing.
  EXPECT_EQ(editor_.link(source, "nothing", server, "sendOutput"),
            "box 1 (IntegerSource) has no output nothing (its outputs: value)");
  EXPECT_EQ(editor_.link(source, "0", server, "readInput"),
            "cannot link value (IntegerSource box 1) to readInput (QenoServer box 0): the input "
            "takes no further link, value (IntegerSource box 1) feeds it");
  // Both ends by name, and what each carries or takes.
  EXPECT_EQ(editor_.link(server, "xml_10", server, "sendOutput"),
            "xml_10 (QenoServer box 0) carries text; sendOutput (QenoServer box 0) takes an "
            "integer");

  ASSERT_EQ(editor_.move(server, 300, 200), "");
  ASSERT_EQ(editor_.setProperty(server, "key1", "n="), "");
  EXPECT_EQ(editor_.setProperty(server, "port", "79"),
            "property 'port' must be from 80 to 10000, not 79");

  // Back through the history, one step at a time, then forward again.
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(property(server, "key1"), "(undefined)");
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(graph_.numbered(server)->x, 100);
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(linkedFrom(server, ServerPorts::kReadInput), -1);
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(graph_.numbered(source), nullptr);
  ASSERT_EQ(editor_.redo(), "");
  ASSERT_EQ(editor_.redo(), "");
  EXPECT_EQ(graph_.numbered(source)->className(), std::string("IntegerSource"));
  EXPECT_EQ(linkedFrom(server, ServerPorts::kReadInput), source);
  ASSERT_EQ(editor_.redo(), "");
  ASSERT_EQ(editor_.redo(), "");
  EXPECT_EQ(property(server, "key1"), "n=");
  EXPECT_EQ(editor_.redo(), "nothing to redo");
  // A new edit forgets what was undone.
  ASSERT_EQ(editor_.undo(), "");
  ASSERT_EQ(editor_.setProperty(server, "url", "/x"), "");
  EXPECT_EQ(editor_.redo(), "nothing to redo");
}

TEST_F(GraphEditorTest, RemovingARunningServerFreesItsPortAndUndoBringsItBackWhole) {
  int server = -1;
  int source = -1;
  int sink = -1;
  ASSERT_EQ(editor_.add("QenoServer", 100, 40, server), "");
  ASSERT_EQ(editor_.add("IntegerSource", 10, 20, source), "");
  ASSERT_EQ(editor_.add("TextSink", 400, 40, sink), "");
  const int port = qeno::test::freePortBetween(2000, 9999);
  ASSERT_EQ(editor_.setProperty(server, "port", std::to_string(port)), "");
  ASSERT_EQ(editor_.link(source, "0", server, "readInput"), "");
  ASSERT_EQ(editor_.link(server, "xml_10", sink, "0"), "");
  static_cast<JIntegerSource*>(graph_.numbered(source))->setValue(1);
  auto* running = static_cast<QenoServer*>(graph_.numbered(server));
  ASSERT_TRUE(
      qeno::test::waitUntil([&] { return running->serverState == ServerState::kListening; }));

  ASSERT_EQ(editor_.remove({server}), "");
  EXPECT_EQ(graph_.numbered(server), nullptr);
  EXPECT_TRUE(qeno::loopback::canBindLoopback(port));
  EXPECT_EQ(graph_.links().size(), 0U);
  // The others keep their numbers.
  EXPECT_EQ(graph_.numberOf(*graph_.numbered(sink)), sink);

  ASSERT_EQ(editor_.undo(), "");
  ASSERT_NE(graph_.numbered(server), nullptr);
  EXPECT_EQ(graph_.numbered(server)->x, 100);
  EXPECT_EQ(property(server, "port"), std::to_string(port));
  EXPECT_EQ(linkedFrom(server, ServerPorts::kReadInput), source);
  EXPECT_EQ(linkedFrom(sink, 0), server);
  EXPECT_EQ(graph_.indexOf(*graph_.numbered(server)), 0);  // in its place among the others
  // Its input holds its source's value again: it serves as it did.
  auto* back = static_cast<QenoServer*>(graph_.numbered(server));
  ASSERT_TRUE(qeno::test::waitUntil([&] { return back->serverState == ServerState::kListening; }));
  TcpClient client;
  ASSERT_TRUE(client.connect(port));
  client.send("hi\r\n");
  EXPECT_EQ(client.readAll(), "0,x");
}

TEST_F(GraphEditorTest, ALinkDeliversAsItComesAndUnlinkingSendsNothing) {
  int source = -1;
  int sink = -1;
  ASSERT_EQ(editor_.add("IntegerSource", 0, 0, source), "");
  ASSERT_EQ(editor_.add("IntegerSink", 0, 0, sink), "");
  static_cast<JIntegerSource*>(graph_.numbered(source))->setValue(7);
  auto* values = static_cast<JIntegerSink*>(graph_.numbered(sink));
  // Made by hand, the link hands on the value the source holds, as a
  // loaded graph's links do at start.
  ASSERT_EQ(editor_.link(source, "0", sink, "0"), "");
  ASSERT_EQ(values->received(), 1);
  EXPECT_EQ(values->lastValue(), 7);
  ASSERT_EQ(editor_.unlink(source, "0", sink, "0"), "");
  EXPECT_EQ(values->received(), 1);
  EXPECT_EQ(values->lastValue(), 7);
  EXPECT_EQ(editor_.unlink(source, "0", sink, "0"), "no such link");
  // An undone unlink and a redone link deliver; an undone link does not.
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(linkedFrom(sink, 0), source);
  EXPECT_EQ(values->received(), 2);
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(values->received(), 2);
  ASSERT_EQ(editor_.redo(), "");
  EXPECT_EQ(values->received(), 3);
}

TEST_F(GraphEditorTest, CopyPasteImportAndGroupMovesAreEachOneStep) {
  int source = -1;
  int sink = -1;
  ASSERT_EQ(editor_.add("IntegerSource", 10, 20, source), "");
  ASSERT_EQ(editor_.add("IntegerSink", 200, 20, sink), "");
  ASSERT_EQ(editor_.link(source, "0", sink, "0"), "");
  ASSERT_EQ(editor_.setProperty(source, "value", "5"), "");

  std::string fragment;
  ASSERT_EQ(editor_.copy({source, sink}, fragment), "");
  std::vector<int> pasted;
  ASSERT_EQ(editor_.paste(fragment, 30, 40, pasted), "");
  ASSERT_EQ(pasted, (std::vector<int>{2, 3}));
  EXPECT_EQ(graph_.numbered(pasted[0])->x, 40);
  EXPECT_EQ(property(pasted[0], "value"), "5");
  EXPECT_EQ(linkedFrom(pasted[1], 0), pasted[0]);
  // The pasted link carries the copied source's value.
  EXPECT_EQ(static_cast<JIntegerSink*>(graph_.numbered(pasted[1]))->lastValue(), 5);
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(graph_.modules().size(), 2U);
  ASSERT_EQ(editor_.redo(), "");
  EXPECT_EQ(linkedFrom(3, 0), 2);

  ASSERT_EQ(editor_.moves({{source, 0, 0}, {sink, 50, 60}}), "");
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(graph_.numbered(source)->x, 10);
  EXPECT_EQ(graph_.numbered(sink)->x, 200);

  // An import replaces everything; a bad one names what is wrong and changes nothing.
  EXPECT_EQ(editor_.replaceAll("{\"format\": \"qeno-graph\", \"version\": \"1\"}"),
            "the imported graph: \"version\" must be an integer");
  EXPECT_EQ(graph_.modules().size(), 4U);
  ASSERT_EQ(editor_.replaceAll(fragment), "");
  ASSERT_EQ(graph_.modules().size(), 2U);
  EXPECT_EQ(graph_.numbered(source), nullptr);
  ASSERT_EQ(editor_.undo(), "");
  EXPECT_EQ(graph_.modules().size(), 4U);
  EXPECT_EQ(linkedFrom(3, 0), 2);
  EXPECT_EQ(linkedFrom(sink, 0), source);
}

TEST_F(GraphEditorTest, TheHistoryKeepsTheNewestStepsWithinItsBounds) {
  int server = -1;
  ASSERT_EQ(editor_.add("QenoServer", 0, 0, server), "");
  const std::size_t count = GraphEditor::kMaxSteps + 50;
  // Built by append: GCC 12 at -O3 misreads "/" + std::to_string(i) as an
  // overlapping copy.
  auto urlOf = [](std::size_t n) { return std::string("/").append(std::to_string(n)); };
  for (std::size_t i = 1; i <= count; ++i) {
    ASSERT_EQ(editor_.setProperty(server, "url", urlOf(i)), "");
  }
  EXPECT_EQ(editor_.steps(), GraphEditor::kMaxSteps);
  // The oldest went first, the add among them: undo walks back to the last
  // edit kept.
  std::size_t undone = 0;
  while (editor_.undo().empty()) ++undone;
  EXPECT_EQ(undone, GraphEditor::kMaxSteps);
  EXPECT_EQ(property(server, "url"), urlOf(count - GraphEditor::kMaxSteps));
  EXPECT_EQ(editor_.steps(), GraphEditor::kMaxSteps);

  // Texts that large fill the bound in a few steps; the newest stays even
  // when it alone is past it.
  ASSERT_EQ(editor_.redo(), "");
  const std::string large(GraphEditor::kMaxBytes / 3, 'k');
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(editor_.setProperty(server, "key1", large + std::to_string(i)), "");
  }
  EXPECT_LE(editor_.steps(), 2U);
  ASSERT_EQ(editor_.setProperty(server, "key2", std::string(GraphEditor::kMaxBytes, 'x')), "");
  EXPECT_EQ(editor_.steps(), 1U);
  EXPECT_EQ(editor_.undo(), "");
  EXPECT_EQ(property(server, "key2"), "(undefined)");
  EXPECT_EQ(property(server, "key1"), large + "3");
}
