// The key settings: matching a key and reading the number after it, the scan
// of a request, and how numbers a client sends reach the integer outputs,
// where a graph that links them back answers the client with them.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HostModules.h"
#include "JComponent.h"
#include "JData.h"
#include "JGraph.h"
#include "JSocket.h"
#include "PropertySheet.h"
#include "QenoServer.h"
#include "TestSupport.h"

using qeno::test::DebugCapture;
using qeno::test::portIsFree;
using qeno::test::TcpClient;
using qeno::test::waitUntil;

namespace {

void setKey(QenoServer& server, int number, const std::string& text, int offset = 0) {
  std::string error;
  ASSERT_TRUE(editProperty(server, "key" + std::to_string(number), text, error)) << error;
  ASSERT_TRUE(editProperty(server, "key" + std::to_string(number) + "offset",
                           std::to_string(offset), error))
      << error;
}

// Scans text as the end of an exchange does.
bool scan(QenoServer& server, const std::string& text) {
  server.resetExchange();
  return server.scanKeys(text.data(), static_cast<int>(text.size()));
}

}  // namespace

// ---- the key helpers

TEST(KeyMatchTest, StepsThroughAKeyAndReportsACompleteMatchAsMinusOne) {
  EXPECT_EQ(QenoServer::matchKeyChar('a', "abc", 0, 3), 1);
  EXPECT_EQ(QenoServer::matchKeyChar('b', "abc", 1, 3), 2);
  EXPECT_EQ(QenoServer::matchKeyChar('c', "abc", 2, 3), -1);
  EXPECT_EQ(QenoServer::matchKeyChar('x', "x", 0, 1), -1);
  // len, not the text's end, bounds the key.
  EXPECT_EQ(QenoServer::matchKeyChar('b', "abc", 1, 2), -1);
}

TEST(KeyMatchTest, MismatchesAndSpentStatesGiveZero) {
  EXPECT_EQ(QenoServer::matchKeyChar('x', "abc", 1, 3), 0);
  // A mismatch does not try the key's first character again.
  EXPECT_EQ(QenoServer::matchKeyChar('a', "ab", 1, 2), 0);
  // After a complete match nothing more matches.
  EXPECT_EQ(QenoServer::matchKeyChar('a', "abc", -1, 3), 0);
  EXPECT_EQ(QenoServer::matchKeyChar('c', "abc", 3, 3), 0);
  EXPECT_EQ(QenoServer::matchKeyChar('c', "abcdef", 5, 3), 0);
  // An empty key never matches, not even the terminating zero.
  EXPECT_EQ(QenoServer::matchKeyChar('\0', "", 0, 0), 0);
  EXPECT_EQ(QenoServer::matchKeyChar('a', "a", 0, 0), 0);
}

TEST(KeyMatchTest, FedAStreamItFindsTheKeyOnlyWithoutAFalseStart) {
  auto matches = [](const std::string& stream, const std::string& key) {
    int pos = 0;
    for (char ch : stream) {
      pos = QenoServer::matchKeyChar(ch, key.c_str(), pos, static_cast<int>(key.size()));
      if (pos == -1) return true;
    }
    return false;
  };
  EXPECT_TRUE(matches("x<id>", "<id>"));
  EXPECT_TRUE(matches("<id>", "<id>"));
  EXPECT_FALSE(matches("<i<id>", "<id>"));  // the restart skips the second '<'
  EXPECT_FALSE(matches("<i", "<id>"));
}

TEST(ReadDecimalTest, ReadsDigitsUpToTheFirstOtherCharacterOrTheEnd) {
  EXPECT_EQ(QenoServer::readDecimal("123x", 4, 0), 123);
  EXPECT_EQ(QenoServer::readDecimal("ab12cd", 6, 2), 12);
  EXPECT_EQ(QenoServer::readDecimal("007,", 4, 0), 7);
  // A request has ended when it is read: digits up to its end are the number.
  EXPECT_EQ(QenoServer::readDecimal("123", 3, 0), 123);
  EXPECT_EQ(QenoServer::readDecimal("12345x", 3, 0), 123);  // len cuts the digits off
  EXPECT_EQ(QenoServer::readDecimal("2147483647", 10, 0), 2147483647);
  EXPECT_EQ(QenoServer::readDecimal("00000000000000000041", 20, 0), 41);
}

TEST(ReadDecimalTest, NoDigitAtTheStartOrANumberBeyond32BitsIsNoNumber) {
  EXPECT_EQ(QenoServer::readDecimal("x12", 3, 0), -1);
  EXPECT_EQ(QenoServer::readDecimal("-5,", 3, 0), -1);  // no sign
  EXPECT_EQ(QenoServer::readDecimal("12x", 3, 3), -1);
  EXPECT_EQ(QenoServer::readDecimal("12x", 3, 7), -1);
  EXPECT_EQ(QenoServer::readDecimal("12x", 3, -1), -1);
  EXPECT_EQ(QenoServer::readDecimal("", 0, 0), -1);
  EXPECT_EQ(QenoServer::readDecimal("2147483648", 10, 0), -1);
  EXPECT_EQ(QenoServer::readDecimal("4294967297x", 11, 0), -1);  // would wrap round to 1
}

// ---- the scan

TEST(KeyScanTest, ReadsTheNumberAfterEachKeysFirstOccurrenceOrNothing) {
  struct Case {
    const char* key;
    int offset;
    std::string text;
    int expected;  // -1: not found
  };
  const Case cases[] = {
      {"n=", 0, "GET /?n=41 HTTP/1.0\r\n\r\n", 41},
      {"n=", 0, "GET /?nn=8 HTTP/1.0\r\n\r\n", 8},  // starts inside a failed match
      {"aab", 0, "xaaab7\r\n", 7},
      {"<id>", 0, "<i<id>12\n\n", 12},
      {"n=", 0, "a=1&n=64", 64},     // digits up to the request's end
      {"n=", 0, "n=x&n=5\r\n", -1},  // only the first occurrence counts
      {"n=", 0, "n=-5\r\n", -1},     // no sign
      {"n=", 0, "n=2147483647\r\n", 2147483647},
      {"n=", 0, "n=2147483648\r\n", -1},  // beyond 32 bits, never wrapped
      {"n=", 0, "n=99999999999999999999\r\n", -1},
      {"id", 1, "id:7;\r\n", 7},
      {"apples", -9, "12 apples\r\n", 12},
      {"apples", -10, "12 apples\r\n", -1},  // before the text
      {"n=", 50, "n=1\r\n", -1},             // past it
      {"n=", 1, "n=1", -1},
      {"n=", 0, "n", -1},
      {"n=", 0, "", -1},
  };
  QenoServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.offset) + " in " +
                 JComponent::escape(c.text));
    setKey(server, 1, c.key, c.offset);
    server.intValues[0] = -5;
    const bool found = scan(server, c.text);
    EXPECT_EQ(found, c.expected >= 0);
    EXPECT_EQ(server.intValues[0], c.expected >= 0 ? c.expected : -5);
    EXPECT_EQ(server.publishCount, found ? 1 : 0);
  }
}

TEST(KeyScanTest, OnlyActiveKeysAsTheyStoodAtTheStartTakePartAndTheHighestFoundCounts) {
  QenoServer server;
  for (auto& value : server.intValues) value = -1;
  setKey(server, 2, "");
  setKey(server, 3, "a=");
  setKey(server, 6, "b=");
  setKey(server, 8, "zz=");
  server.resetExchange();
  setKey(server, 3, "b=");  // takes effect at the next exchange
  const std::string text = "(undefined)5 a=3 b=4\r\n";
  ASSERT_TRUE(server.scanKeys(text.data(), static_cast<int>(text.size())));
  EXPECT_EQ(server.publishCount, 6);
  const std::vector<int> expected = {-1, -1, 3, -1, -1, 4, -1, -1, -1, -1};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(server.intValues[i], expected[i]) << "int_" << i + 1;

  for (int number : {3, 6, 8}) setKey(server, number, "(undefined)");
  server.resetExchange();
  EXPECT_EQ(server.activeKeys, 0);
}

// ---- a graph that answers with the client's own number

class EchoGraphTest : public ::testing::Test {
 protected:
  EchoGraphTest()
      : server(static_cast<QenoServer&>(graph.add(std::make_unique<QenoServer>()))),
        enable(static_cast<JIntegerSource&>(graph.add(std::make_unique<JIntegerSource>()))),
        values(static_cast<JIntegerSink&>(graph.add(std::make_unique<JIntegerSink>()))) {
    server.port = qeno::test::freePort();
    graph.link(enable, 0, server, ServerPorts::kReadInput);
    graph.link(server, ServerPorts::kFirstIntOutput, server,
               ServerPorts::kSendOutput);                             // int_1 answers the client
    graph.link(server, ServerPorts::kFirstIntOutput + 1, values, 0);  // int_2 is watched
  }
  void TearDown() override { server.stop(); }

  [[nodiscard]] bool start() {
    enable.setValue(1);
    return waitUntil([&] { return server.serverState == ServerState::kListening; });
  }

  std::string ask(const std::string& request) {
    TcpClient client;
    if (!client.connect(server.port) || !client.send(request)) return "<no connection>";
    return client.readAll(qeno::test::scaledMs(5000));
  }

  // Sends the request in pieces, each in a receive of its own, then reads the
  // reply; with shutdown the client ends its side instead of a line break.
  std::string askInPieces(const std::vector<std::string>& pieces, bool shutdown = false) {
    TcpClient client;
    if (!client.connect(server.port)) return "<no connection>";
    std::string sent;
    for (const std::string& piece : pieces) {
      sent += piece;
      if (!client.send(piece) || !debug.waitFor("dataBuf now: " + JComponent::escape(sent))) {
        return "<not received>";
      }
    }
    if (shutdown) client.shutdownWrite();
    return client.readAll();
  }

  DebugCapture debug;  // first in, last out: the worker writes to it to the end
  JGraph graph;
  QenoServer& server;
  JIntegerSource& enable;
  JIntegerSink& values;
};

TEST_F(EchoGraphTest, AnswersWithTheNumberSentAndKeepsItWhenARequestHasNone) {
  ASSERT_TRUE(start());
  // Default keys: exactly as a box without keys, nothing published.
  EXPECT_EQ(ask("GET /?n=41 HTTP/1.0\r\n\r\n"), "0,x");
  EXPECT_EQ(debug.countStartingWith("key"), 0);
  EXPECT_EQ(server.outputsPublished, 0);

  setKey(server, 1, "n=");
  setKey(server, 2, "m=");
  EXPECT_EQ(ask("GET /?m=5&n=41 HTTP/1.0\r\n\r\n"), "41,x");
  ASSERT_TRUE(waitUntil([&] { return values.received() == 1; }));
  EXPECT_EQ(values.lastValue(), 5);
  // One line per key found, between the received text and the reply.
  EXPECT_EQ(debug.count("key1 found: 41 on int_1"), 1);
  EXPECT_EQ(debug.count("key2 found: 5 on int_2"), 1);
  const std::vector<std::string> lines = debug.lines();
  auto at = [&](const std::string& line) {
    return std::find(lines.rbegin(), lines.rend(), line) - lines.rbegin();
  };
  EXPECT_GT(at("dataBuf now: GET /?m=5&n=41 HTTP/1.0\\r\\n\\r\\n"), at("key1 found: 41 on int_1"));
  EXPECT_GT(at("key1 found: 41 on int_1"), at("key2 found: 5 on int_2"));
  EXPECT_GT(at("key2 found: 5 on int_2"), at("getting out"));

  EXPECT_EQ(ask("GET / HTTP/1.0\r\n\r\n"), "41,x");
  EXPECT_EQ(ask("GET /?n=abc HTTP/1.0\r\n\r\n"), "41,x");
  EXPECT_EQ(ask("GET /?n=4294967297 HTTP/1.0\r\n\r\n"), "41,x");
  EXPECT_EQ(askInPieces({"GET /?n", "=7 HTTP/1.0\r\n\r\n"}), "7,x");
  EXPECT_EQ(askInPieces({"GET /?n=1", "23 HTTP/1.0\r\n\r\n"}), "123,x");
  EXPECT_EQ(askInPieces({"n=6", "4"}, true), "64,x");
  EXPECT_EQ(values.received(), 1);  // nothing found for int_2 again
}

TEST_F(EchoGraphTest, ZeroFromTheHostAfterAPublishingRequestStopsAndAwaitsTheWorker) {
  setKey(server, 1, "n=");
  ASSERT_TRUE(start());
  EXPECT_EQ(ask("n=3\r\n"), "3,x");
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));
  enable.setValue(0);
  EXPECT_FALSE(server.worker.isRunning());
  EXPECT_EQ(server.serverState, ServerState::kIdle);
  EXPECT_TRUE(portIsFree(server.port));
}

TEST_F(EchoGraphTest, HostThreadsReadTheOutputsWhileRequestsPublish) {
  setKey(server, 1, "n=");
  ASSERT_TRUE(start());
  std::atomic<bool> done{false};
  std::atomic<bool> backwards{false};
  std::thread reader([&] {
    JLinkObj probe(&server, 0, nullptr, 0);
    int previous = 0;
    while (!done) {
      int value = 0;
      probe.access(JIntegerData(value));
      if (value < previous) backwards = true;
      previous = value;
      listOutputs(server);
      // Under valgrind threads take turns: a reader that never yields would
      // starve the worker it races.
      std::this_thread::yield();
    }
  });
  for (int n = 1; n <= 40; ++n) {
    EXPECT_EQ(ask("n=" + std::to_string(n) + "\r\n"), std::to_string(n) + ",x");
  }
  done = true;
  reader.join();
  EXPECT_FALSE(backwards);
}

// A request whose number goes back into the box's own readInput: 0 there
// ends the server from its own thread.
TEST(SelfStopTest, ARequestThatPublishesZeroIntoReadInputEndsTheServerCleanly) {
  DebugCapture debug;
  JGraph graph;
  auto& server = static_cast<QenoServer&>(graph.add(std::make_unique<QenoServer>()));
  server.port = qeno::test::freePort();
  graph.link(server, ServerPorts::kFirstIntOutput, server, ServerPorts::kReadInput);
  setKey(server, 1, "n=");
  JIntegerSource starter;  // outside the graph: only hands its value over
  starter.setValue(1);
  JLinkObj kick(&starter, 0, &server, 0);
  server.inputChanged(ServerPorts::kReadInput, kick);
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));

  TcpClient first;
  ASSERT_TRUE(first.connect(server.port));
  ASSERT_TRUE(first.send("n=5\r\n"));
  EXPECT_EQ(first.readAll(), "0,x");  // non-zero: the server goes on
  EXPECT_EQ(server.enableValue, 5);
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));

  TcpClient last;
  ASSERT_TRUE(last.connect(server.port));
  ASSERT_TRUE(last.send("n=0\r\n"));
  last.readAll();
  EXPECT_TRUE(last.eof() || last.reset());
  ASSERT_TRUE(waitUntil([&] { return !server.worker.isRunning(); }));
  EXPECT_EQ(server.serverState, ServerState::kIdle);
  EXPECT_TRUE(portIsFree(server.port));

  // Ready to serve again.
  server.inputChanged(ServerPorts::kReadInput, kick);
  ASSERT_TRUE(waitUntil([&] { return server.serverState == ServerState::kListening; }));
  server.stop();
}
