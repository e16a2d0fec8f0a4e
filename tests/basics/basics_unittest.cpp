// The stock boxes of the basics library, loaded as qeno-host loads them and
// driven through links: the edge cases of their arithmetic, and a running
// total served to real clients.

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <memory>

#include "HostModules.h"
#include "HostProcess.h"
#include "JGraph.h"
#include "JRegistry.h"
#include "ModuleSearch.h"
#include "PropertySheet.h"
#include "TestSupport.h"

using qeno::test::DebugCapture;
using qeno::test::HostProcess;
using qeno::test::TcpClient;

namespace {

ModuleSet& basics() {
  static ModuleSet* set = [] {
    auto* loaded = new ModuleSet;  // stays loaded: boxes of every test use it
    loaded->loadFile(QENO_BASICS_PATH);
    return loaded;
  }();
  return *set;
}

// A box of the library with a source on each input and a sink on its output.
class Wired {
 public:
  Wired(const std::string& className, int inputs) {
    basics();
    auto made = JRegistry::instance().create(className);
    auto* box = dynamic_cast<JModuleObj*>(made.get());
    EXPECT_NE(box, nullptr) << className;
    made.release();
    box_ = &graph_.add(std::unique_ptr<JModuleObj>(box));
    for (int i = 0; i < inputs; ++i) {
      sources_.push_back(
          static_cast<JIntegerSource*>(&graph_.add(std::make_unique<JIntegerSource>())));
      graph_.link(*sources_.back(), 0, *box_, i);
    }
    sink_ = static_cast<JIntegerSink*>(&graph_.add(std::make_unique<JIntegerSink>()));
    graph_.link(*box_, 0, *sink_, 0);
  }

  void set(const std::string& property, const std::string& value) {
    std::string error;
    EXPECT_TRUE(editProperty(*box_, property, value, error)) << error;
  }
  // Sets input n and returns what reached the sink.
  int send(int n, int value) {
    sources_.at(static_cast<std::size_t>(n))->setValue(value);
    return sink_->lastValue();
  }
  // b first (it only sets the operand), then a.
  int compute(int a, int b) {
    send(1, b);
    return send(0, a);
  }
  [[nodiscard]] int delivered() const { return sink_->received(); }
  JModuleObj& box() { return *box_; }

 private:
  JGraph graph_;
  JModuleObj* box_ = nullptr;
  std::vector<JIntegerSource*> sources_;
  JIntegerSink* sink_ = nullptr;
};

}  // namespace

TEST(BasicsTest, ArithmeticSaturatesAndDividingByZeroGivesZeroAndOneLine) {
  Wired box("Arithmetic", 2);
  EXPECT_EQ(box.compute(INT_MAX, 1), INT_MAX);
  EXPECT_EQ(box.compute(INT_MIN, -1), INT_MIN);
  EXPECT_EQ(box.compute(-7, 3), -4);
  box.set("operation", "subtract");
  EXPECT_EQ(box.compute(INT_MIN, 1), INT_MIN);
  EXPECT_EQ(box.compute(INT_MAX, -1), INT_MAX);
  box.set("operation", "multiply");
  EXPECT_EQ(box.compute(65536, -65536), INT_MIN);
  EXPECT_EQ(box.compute(-65536, -65536), INT_MAX);
  box.set("operation", "divide");
  EXPECT_EQ(box.compute(INT_MIN, -1), INT_MAX);
  EXPECT_EQ(box.compute(-7, 2), -3);
  box.set("operation", "remainder");
  EXPECT_EQ(box.compute(INT_MIN, -1), 0);
  EXPECT_EQ(box.compute(-7, 2), -1);
  box.set("operation", "min");
  EXPECT_EQ(box.compute(INT_MIN, 5), INT_MIN);
  box.set("operation", "max");
  EXPECT_EQ(box.compute(INT_MIN, 5), 5);

  DebugCapture debug;
  box.set("operation", "divide");
  EXPECT_EQ(box.compute(7, 0), 0);
  box.set("operation", "remainder");
  EXPECT_EQ(box.compute(-7, 0), 0);
  EXPECT_EQ(debug.lines(),
            (std::vector<std::string>{"Arithmetic: 7 divide 0: division by zero gives 0",
                                      "Arithmetic: -7 remainder 0: division by zero gives 0"}));

  // The operand is also a property; an operation the box lacks is refused.
  box.set("operand", "10");
  box.set("operation", "add");
  EXPECT_EQ(box.send(0, 5), 15);
  std::string error;
  EXPECT_FALSE(editProperty(box.box(), "operation", "power", error));
  EXPECT_EQ(box.send(0, 5), 15);
}

TEST(BasicsTest, CompareSelectAndCounterWithItsReset) {
  Wired compare("Compare", 2);
  EXPECT_EQ(compare.compute(3, 3), 1);
  compare.set("operation", "less");
  EXPECT_EQ(compare.compute(INT_MIN, INT_MAX), 1);
  EXPECT_EQ(compare.compute(3, 3), 0);
  compare.set("operation", "greater");
  EXPECT_EQ(compare.compute(4, 3), 1);

  Wired select("Select", 3);
  EXPECT_EQ(select.send(0, 11), 11);
  EXPECT_EQ(select.send(1, 22), 11);  // b changes, a stays chosen
  EXPECT_EQ(select.send(2, 5), 22);
  EXPECT_EQ(select.send(2, 0), 11);

  Wired counter("Counter", 2);
  EXPECT_EQ(counter.send(0, 7), 1);
  EXPECT_EQ(counter.send(0, -1), 2);
  const int before = counter.delivered();
  counter.send(0, 0);  // zero is not counted and sends nothing
  EXPECT_EQ(counter.delivered(), before);
  EXPECT_EQ(counter.send(1, 1), 0);
  counter.send(1, 0);  // a zero on reset does not reset
  EXPECT_EQ(counter.send(0, 1), 1);
}

TEST(BasicsTest, TheTallyGraphAnswersEachRequestWithTheRunningTotal) {
  const int port = qeno::test::freePortBetween(2000, 9999);
  ASSERT_NE(port, 0);
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH,
                         {"--graph", QENO_TALLY_GRAPH, "--port", std::to_string(port), "--quiet"}));
  ASSERT_TRUE(host.waitForOutput("listening on")) << host.error();
  auto request = [port](const std::string& text) {
    TcpClient client;
    if (!client.connect(port)) return std::string("<refused>");
    client.send(text);
    return client.readAll();
  };
  EXPECT_EQ(request("GET /?v=5 HTTP/1.0\r\n\r\n"), "5,x");
  EXPECT_EQ(request("GET /?v=37 HTTP/1.0\r\n\r\n"), "42,x");
  EXPECT_EQ(request("GET / HTTP/1.0\r\n\r\n"), "42,x");  // no v=: nothing added
  EXPECT_EQ(request("v=2147483647\r\n\r\n"), "2147483647,x");
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
}
