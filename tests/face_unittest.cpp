// The box's face: ports, input handling, output values and painting.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "BoxRenderer.h"
#include "HostModules.h"
#include "JComponent.h"
#include "JData.h"
#include "JGraph.h"
#include "QenoServer.h"
#include "Serving.h"
#include "TestSupport.h"

using qeno::test::TcpClient;
using qeno::test::waitUntil;

namespace {

// Counts the starts that input 0 asks for and starts the server as usual.
class CountingServer : public QenoServer {
 public:
  void startServer(JString host, int port, JString url) override {
    ++starts;
    QenoServer::startServer(host, port, url);
  }
  std::atomic<int> starts{0};
};

// A start that never gets as far as listening: it stays pending.
class NeverListeningServer : public QenoServer {
 public:
  void startServer(JString /*host*/, int /*port*/, JString /*url*/) override {
    ++starts;
    startPending = 1;
  }
  std::atomic<int> starts{0};
};

}  // namespace

// ---- what a graph sees of the ports

// An input of each data type a graph links, as another module's box has.
class TypedSink : public JAddObj {
 public:
  explicit TypedSink(int type) : type_(type) { inputCount = 1; }
  [[nodiscard]] JObject* clone() const override { return new TypedSink(*this); }
  int inputType(int /*n*/) override { return type_; }

 private:
  int type_;
};

class PortsTest : public ::testing::Test {
 protected:
  static constexpr int kTypes[] = {JIntegerData::id, JRealData::id, JStringData::id};

  // The output a graph's user picks by name, or -1.
  static int outputNamed(JModuleObj& box, const std::string& name) {
    for (int n = 0; n < box.getOutputCount(); ++n) {
      if (box.outputName(n).str() == name) return n;
    }
    return -1;
  }

  // Checks that a port's name is there and not given to another port of
  // its side, named so far in names.
  static void expectOwnName(std::set<std::string>& names, const std::string& name) {
    EXPECT_FALSE(name.empty());
    EXPECT_TRUE(names.insert(name).second) << "another port has the name";
  }

  QenoServer server;
  JLinkObj link{nullptr, 0, nullptr, 0};  // getOutput does not read it
};

TEST_F(PortsTest, EachOutputHasANameOfItsOwnAndLinksToAnInputOfItsTypeOnly) {
  JGraph graph;
  JModuleObj& box = graph.add(std::make_unique<QenoServer>());
  ASSERT_EQ(box.getOutputCount(), ServerPorts::kOutputCount);
  std::set<std::string> names;
  for (int n = 0; n < box.getOutputCount(); ++n) {
    const std::string name = box.outputName(n).str();
    SCOPED_TRACE("output " + std::to_string(n) + " '" + name + "'");
    expectOwnName(names, name);
    EXPECT_EQ(outputNamed(box, name), n);
    EXPECT_NE(std::find(std::begin(kTypes), std::end(kTypes), box.outputType(n)), std::end(kTypes))
        << "no input of type " << box.outputType(n) << " to link to";
    for (const int type : kTypes) {
      JModuleObj& sink = graph.add(std::make_unique<TypedSink>(type));
      if (type == box.outputType(n)) {
        EXPECT_NO_THROW(graph.link(box, n, sink, 0));
      } else {
        EXPECT_THROW(graph.link(box, n, sink, 0), std::invalid_argument);
      }
    }
  }
}

TEST_F(PortsTest, EachInputHasANameOfItsOwnAndTakesOneIntegerLink) {
  JGraph graph;
  JModuleObj& box = graph.add(std::make_unique<QenoServer>());
  JModuleObj& other = graph.add(std::make_unique<QenoServer>());
  ASSERT_EQ(box.getInputCount(), ServerPorts::kInputCount);
  std::set<std::string> names;
  for (int n = 0; n < box.getInputCount(); ++n) {
    const std::string name = box.inputName(n).str();
    SCOPED_TRACE("input " + std::to_string(n) + " '" + name + "'");
    expectOwnName(names, name);
    EXPECT_EQ(box.inputType(n), JIntegerData::id);
    EXPECT_TRUE(box.inputAllowed(n));
    EXPECT_THROW(graph.link(other, ServerPorts::kTextOutput, box, n), std::invalid_argument);
    auto& source = graph.add(std::make_unique<JIntegerSource>());
    EXPECT_NO_THROW(graph.link(source, 0, box, n));
    EXPECT_FALSE(box.inputAllowed(n));
    auto& second = graph.add(std::make_unique<JIntegerSource>());
    EXPECT_THROW(graph.link(second, 0, box, n), std::invalid_argument);
  }
}

TEST_F(PortsTest, TheOutputNamedXml10CarriesTheTextReceived) {
  JComponent::debugSilence();
  JGraph graph;
  auto& box = static_cast<QenoServer&>(graph.add(std::make_unique<QenoServer>()));
  box.port = qeno::test::freePort();
  auto& sink = static_cast<JTextSink&>(graph.add(std::make_unique<JTextSink>()));
  const int output = outputNamed(box, "xml_10");
  ASSERT_EQ(output, ServerPorts::kTextOutput);
  graph.link(box, output, sink, 0);
  qeno::test::startServing(box, 4);
  ASSERT_TRUE(waitUntil([&] { return box.serverState == ServerState::kListening; }));
  TcpClient client;
  ASSERT_TRUE(client.connect(box.port));
  ASSERT_TRUE(client.send("GET /?n=1 HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(client.readAll(), "4,x");
  ASSERT_TRUE(waitUntil([&] { return sink.received() == 1; }));
  EXPECT_EQ(sink.lastText(), "GET /?n=1 HTTP/1.0\r\n\r\n");
}

TEST_F(PortsTest, FloatOutputsWidenExactly) {
  server.floatValues[0] = 0.1F;
  server.floatValues[9] = -3.5F;
  double value = 0;
  JRealData holder(value);
  server.getOutput(10, link, holder);
  EXPECT_EQ(value, 0.100000001490116119384765625);
  EXPECT_NE(value, 0.1);
  server.getOutput(19, link, holder);
  EXPECT_EQ(value, -3.5);
}

TEST_F(PortsTest, IntegerAndTextOutputsDeliverWhatTheInstanceHolds) {
  server.intValues[9] = -12345;
  server.textValues[ServerPorts::kTextOutput - ServerPorts::kFirstTextOutput] = "last chunk";
  int integer = 0;
  JIntegerData integerHolder(integer);
  server.getOutput(9, link, integerHolder);
  EXPECT_EQ(integer, -12345);
  JString text("stale");
  JStringData textHolder(text);
  for (int n = 20; n < 29; ++n) {
    server.getOutput(n, link, textHolder);
    EXPECT_EQ(text.str(), "") << n;
  }
  server.getOutput(ServerPorts::kTextOutput, link, textHolder);
  EXPECT_EQ(text.str(), "last chunk");
}

// ---- placement

class PlacementTest : public ::testing::Test {
 protected:
  static constexpr double kEps = 1e-9;
  PlacementTest() {
    server.x = 100;
    server.y = 50;
    server.width = 160;
    server.height = 300;
  }
  QenoServer server;
  JLinkObj link{nullptr, 0, nullptr, 0};  // placement does not read it
};

TEST_F(PlacementTest, InputZeroSitsAloneOnTheTopEdge) {
  EXPECT_EQ(server.inputFace(0), kFaceTop);
  const JFRect area = server.inputArea(0);
  EXPECT_NEAR(area.y + area.height, server.y, kEps);  // stands out above the edge
  EXPECT_NEAR(area.x + area.width / 2, server.x + server.width / 2, kEps);
  EXPECT_GT(area.width, 0);
  const JFPoint point = server.inputPoint(0, link);
  EXPECT_NEAR(point.x, server.x + server.width / 2, kEps);
  EXPECT_NEAR(point.y, server.y, kEps);
}

TEST_F(PlacementTest, InputOneSitsAloneOnTheLeftEdgeAndOtherIndicesAnswerAsIt) {
  EXPECT_EQ(server.inputFace(1), kFaceLeft);
  const JFRect area = server.inputArea(1);
  EXPECT_NEAR(area.x + area.width, server.x, kEps);
  EXPECT_NEAR(area.y + area.height / 2, server.y + server.height / 2, kEps);
  const JFPoint point = server.inputPoint(1, link);
  EXPECT_NEAR(point.x, server.x, kEps);
  EXPECT_NEAR(point.y, server.y + server.height / 2, kEps);
  // Any other index is placed on the left edge too.
  EXPECT_EQ(server.inputFace(7), kFaceLeft);
  EXPECT_NEAR(server.inputArea(7).x + server.inputArea(7).width, server.x, kEps);
}

TEST_F(PlacementTest, ThirtyOutputsShareTheRightEdgeInOrder) {
  double previousEnd = server.y + 0.1 * server.height - kEps;  // the top margin is kept clear
  for (int n = 0; n < 30; ++n) {
    EXPECT_EQ(server.outputFace(n), kFaceRight) << n;
    const JFRect area = server.outputArea(n);
    const JFPoint point = server.outputPoint(n, link);
    EXPECT_NEAR(area.x, server.x + server.width, kEps) << n;
    EXPECT_GT(area.height, 0) << n;
    EXPECT_GE(area.y, previousEnd) << n;  // below the previous one, no overlap
    EXPECT_NEAR(point.x, server.x + server.width, kEps) << n;
    EXPECT_NEAR(point.y, area.y + area.height / 2, kEps) << n;
    previousEnd = area.y + area.height;
  }
  EXPECT_LE(previousEnd, server.y + 0.9 * server.height + kEps);
}

// ---- inputs and outputs through real links

class GraphWiringTest : public ::testing::Test {
 protected:
  GraphWiringTest()
      : server(static_cast<CountingServer&>(graph.add(std::make_unique<CountingServer>()))),
        enable(static_cast<JIntegerSource&>(graph.add(std::make_unique<JIntegerSource>()))),
        reply(static_cast<JIntegerSource&>(graph.add(std::make_unique<JIntegerSource>()))) {
    JComponent::debugSilence();
    server.port = qeno::test::freePort();
    graph.link(enable, 0, server, ServerPorts::kReadInput);
    graph.link(reply, 0, server, ServerPorts::kSendOutput);
  }

  std::string request(const std::string& text) {
    TcpClient client;
    if (!client.connect(server.port)) return "(no connection)";
    client.send(text);
    return client.readAll();
  }

  JGraph graph;
  CountingServer& server;
  JIntegerSource& enable;
  JIntegerSource& reply;
};

TEST_F(GraphWiringTest, EachInputTakesOneLink) {
  EXPECT_FALSE(server.inputAllowed(0));
  EXPECT_FALSE(server.inputAllowed(1));
  auto& other = graph.add(std::make_unique<JIntegerSource>());
  EXPECT_THROW(graph.link(other, 0, server, ServerPorts::kReadInput), std::invalid_argument);
}

TEST_F(GraphWiringTest, InputOneSetsTheNumberOfTheNextReply) {
  reply.setValue(42);
  EXPECT_EQ(server.replyValue, 42);
  EXPECT_EQ(server.starts, 0);  // input 1 starts nothing
  enable.setValue(1);
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));
  EXPECT_EQ(request("hello\r\n"), "42,x");
  reply.setValue(-7);
  EXPECT_EQ(request("again\r\n"), "-7,x");
}

TEST_F(GraphWiringTest, ANonZeroValueOnInputZeroStartsTheServerOnTheConfiguredPort) {
  enable.setValue(5);
  EXPECT_EQ(server.enableValue, 5);
  EXPECT_EQ(server.serveRequested, 1);
  EXPECT_EQ(server.starts, 1);
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));
  EXPECT_EQ(server.workerPort, server.port);
  EXPECT_EQ(request("\r\n"), "0,x");
}

TEST_F(GraphWiringTest, FurtherNonZeroValuesWhileServingStartNothing) {
  enable.setValue(1);
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));
  enable.setValue(2);  // listening
  EXPECT_EQ(server.enableValue, 2);
  TcpClient client;
  ASSERT_TRUE(client.connect(server.port));
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kConnected; }));
  enable.setValue(3);  // connected
  EXPECT_EQ(server.enableValue, 3);
  EXPECT_EQ(server.starts, 1);
  ASSERT_TRUE(client.send("\r\n"));
  EXPECT_EQ(client.readAll(), "0,x");
  // Still the one worker, listening again.
  EXPECT_EQ(request("\r\n"), "0,x");
  EXPECT_EQ(server.starts, 1);
}

TEST_F(GraphWiringTest, ZeroOnInputZeroLeavesAListeningServerListening) {
  enable.setValue(1);
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));
  enable.setValue(0);
  EXPECT_EQ(server.serverState, ServerState::kListening);
  TcpClient client;
  EXPECT_TRUE(client.tryConnect(server.port));
}

TEST(PendingStartTest, AStartStillPendingCountsAsRunning) {
  JGraph graph;
  auto& server =
      static_cast<NeverListeningServer&>(graph.add(std::make_unique<NeverListeningServer>()));
  auto& enable = static_cast<JIntegerSource&>(graph.add(std::make_unique<JIntegerSource>()));
  graph.link(enable, 0, server, ServerPorts::kReadInput);
  enable.setValue(1);
  ASSERT_EQ(server.starts, 1);
  ASSERT_EQ(server.serverState, ServerState::kIdle);
  enable.setValue(1);
  enable.setValue(9);
  EXPECT_EQ(server.starts, 1);
  EXPECT_EQ(server.enableValue, 9);
}

TEST_F(GraphWiringTest, ATextSinkOnOutput29ReceivesEveryChunk) {
  auto& sink = static_cast<JTextSink&>(graph.add(std::make_unique<JTextSink>()));
  graph.link(server, ServerPorts::kTextOutput, sink, 0);
  std::mutex lock;
  std::vector<std::string> chunks;
  sink.setHandler([&](const std::string& text) {
    std::lock_guard<std::mutex> hold(lock);
    chunks.push_back(text);
  });
  enable.setValue(1);
  TcpClient client;
  ASSERT_TRUE(client.connect(server.port));
  ASSERT_TRUE(client.send("first "));
  ASSERT_TRUE(waitUntil([&] { return sink.received() == 1; }));
  ASSERT_TRUE(client.send("second\r\n"));
  EXPECT_EQ(client.readAll(), "0,x");
  ASSERT_TRUE(waitUntil([&] { return sink.received() == 2; }));
  std::lock_guard<std::mutex> hold(lock);
  EXPECT_EQ(chunks, (std::vector<std::string>{"first ", "second\r\n"}));
}

// ---- painting

namespace {

bool isColour(const JColor& pixel, const JColor& colour) {
  return pixel == colour;
}

bool isDark(const JColor& pixel) {
  return pixel.getRed() < 128 && pixel.getGreen() < 128 && pixel.getBlue() < 128;
}

JRect wholeImage(const JImage& image) {
  return JRect(0, 0, image.width(), image.height());
}

// Sets depth2 for one test.
class Depth2Scope {
 public:
  explicit Depth2Scope(int value) : saved_(JModuleObj::depth2) { JModuleObj::depth2 = value; }
  ~Depth2Scope() { JModuleObj::depth2 = saved_; }
  Depth2Scope(const Depth2Scope&) = delete;
  Depth2Scope& operator=(const Depth2Scope&) = delete;

 private:
  int saved_;
};

}  // namespace

class PaintingTest : public ::testing::Test {
 protected:
  // Whether image shows exactly one square of side depth2 in colour, at
  // depth2 right of and below the box's corner, and no other such pixel.
  static void expectSquare(const JImage& image, const JColor& colour) {
    const int d = JModuleObj::depth2;
    const int at = qeno::test::boxCorner(image) + d;
    auto inColour = [&](const JColor& p) { return isColour(p, colour); };
    EXPECT_EQ(qeno::test::countPixels(image, JRect(at, at, d, d), inColour), d * d);
    EXPECT_EQ(qeno::test::countPixels(image, wholeImage(image), inColour), d * d);
    EXPECT_FALSE(inColour(image.pixel(at - 1, at)));
    EXPECT_FALSE(inColour(image.pixel(at, at - 1)));
    EXPECT_FALSE(inColour(image.pixel(at + d, at + d - 1)));
    EXPECT_FALSE(inColour(image.pixel(at + d - 1, at + d)));
  }

  static int count(const JImage& image, const JColor& colour) {
    return qeno::test::countPixels(image, wholeImage(image),
                                   [&](const JColor& p) { return isColour(p, colour); });
  }

  QenoServer server;
};

TEST_F(PaintingTest, AFreshInstanceShowsARedSquare) {
  const JImage image = renderModule(server);
  ASSERT_GE(qeno::test::boxCorner(image), 0);
  expectSquare(image, JColor::red);
  EXPECT_EQ(count(image, JColor::green), 0);
}

TEST_F(PaintingTest, TheSquareIsGreenOnceConnected) {
  server.connectedFlag = 1;
  const JImage image = renderModule(server);
  expectSquare(image, JColor::green);
  EXPECT_EQ(count(image, JColor::red), 0);
}

// A host learns the square from what the paint reports, not from pixels:
// the report must agree with the image, at any place of the box.
TEST_F(PaintingTest, ThePaintReportsTheSquareRelativeToTheBox) {
  const Depth2Scope depth(7);
  server.x = -35;
  server.y = 410;
  for (int flag : {0, 1}) {
    server.connectedFlag = flag;
    const std::vector<JFilledRect> fills = paintedFills(server);
    ASSERT_FALSE(fills.empty());
    EXPECT_EQ(fills.back().rect, JRect(7, 7, 7, 7));
    EXPECT_EQ(fills.back().color, flag != 0 ? JColor::green : JColor::red);
    const JImage image = renderModule(server);
    expectSquare(image, fills.back().color);
  }
}

TEST_F(PaintingTest, TheSquareTurnsGreenWhenAClientConnectsAndStaysGreen) {
  JComponent::debugSilence();
  server.port = qeno::test::freePort();
  qeno::test::startServing(server);
  TcpClient client;
  ASSERT_TRUE(client.connect(server.port));
  ASSERT_TRUE(waitUntil([&] { return server.connectedFlag == 1; }));
  expectSquare(renderModule(server), JColor::green);
  ASSERT_TRUE(client.send("\r\n"));
  EXPECT_EQ(client.readAll(), "0,x");
  server.stop();
  expectSquare(renderModule(server), JColor::green);
}

TEST_F(PaintingTest, TheSquareNeedsMoreThanThreeTimesDepth2InBothDirections) {
  const int limit = 3 * JModuleObj::depth2;
  struct Case {
    int width;
    int height;
    bool shown;
  };
  for (const Case& c : {Case{limit, limit, false}, Case{limit + 1, limit, false},
                        Case{limit, limit + 1, false}, Case{limit + 1, limit + 1, true}}) {
    server.width = c.width;
    server.height = c.height;
    const JImage image = renderModule(server);
    if (c.shown) {
      expectSquare(image, JColor::red);
    } else {
      EXPECT_EQ(count(image, JColor::red), 0) << c.width << "x" << c.height;
    }
  }
}

TEST_F(PaintingTest, Depth2IsReadAtEveryPaint) {
  Depth2Scope scope(5);
  expectSquare(renderModule(server), JColor::red);
}

TEST_F(PaintingTest, TitleAndAddressLinesHoldTheirTexts) {
  const JImage image = renderModule(server);
  const qeno::test::FaceLines lines = qeno::test::faceLinesOf(image, server);
  // 160 x 200 less depth2 = 8 on each side: h = 184, so h/12 = 15, h/3 = 61, h/2 = 92.
  const JRect interiorTop(lines.title.x, lines.title.y - 15, 144, 15);
  EXPECT_EQ(lines.title.height, 61);
  EXPECT_EQ(lines.address.y - lines.title.y, 92 - 15);
  EXPECT_GT(qeno::test::countPixels(image, lines.title, isDark), 50);
  EXPECT_GT(qeno::test::countPixels(image, lines.address, isDark), 50);
  // Nothing is written above the title or between the lines.
  EXPECT_EQ(qeno::test::countPixels(image, interiorTop, isDark), 0);
  const int titleEnd = lines.title.y + lines.title.height;
  EXPECT_EQ(
      qeno::test::countPixels(
          image, JRect(lines.title.x, titleEnd, lines.title.width, lines.address.y - titleEnd),
          isDark),
      0);

  const JImage expected = qeno::test::renderTextLines(server, "Qeno Server", "localhost:80");
  EXPECT_TRUE(qeno::test::samePixels(image, expected, lines.title));
  EXPECT_TRUE(qeno::test::samePixels(image, expected, lines.address));
  // The comparison tells texts apart.
  const JImage other = qeno::test::renderTextLines(server, "Qeno Server", "localhost:8");
  EXPECT_FALSE(qeno::test::samePixels(image, other, lines.address));
}

TEST_F(PaintingTest, TheAddressLineShowsHostNameColonAndPort) {
  server.port = 0;
  JImage image = renderModule(server);
  qeno::test::FaceLines lines = qeno::test::faceLinesOf(image, server);
  EXPECT_TRUE(qeno::test::samePixels(
      image, qeno::test::renderTextLines(server, "Qeno Server", "localhost:0"), lines.address));

  server.hostName = "10.0.0.7";
  server.port = -8080;
  image = renderModule(server);
  EXPECT_TRUE(qeno::test::samePixels(
      image, qeno::test::renderTextLines(server, "Qeno Server", "10.0.0.7:-8080"), lines.address));
}
