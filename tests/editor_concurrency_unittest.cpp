// Graph edits while real servers work on their own threads: a box removed
// while its server serves a client, or while another box publishes into it,
// and the removal undone while clients keep connecting. Each edit must
// return (a bounded wait: a deadlock fails the run with its name), and once
// the boxes are gone no thread, descriptor or socket of theirs is left.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GraphEditor.h"
#include "HostModules.h"
#include "HostProcess.h"
#include "JComponent.h"
#include "JGraph.h"
#include "JRegistry.h"
#include "QenoServer.h"
#include "Serving.h"
#include "SocketCensus.h"
#include "TestSupport.h"

using qeno::test::ProcessCounts;
using qeno::test::TcpClient;

namespace {

class EditorConcurrencyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    JComponent::debugSilence();
    registerHostModules();
    if (!JRegistry::instance().contains("QenoServer")) JRegistry::instance().add(QenoServer());
    // Helpers the host starts on first use stay for the process: one request
    // served first belongs to the baseline.
    QenoServer first;
    first.port = qeno::test::freePort();
    qeno::test::startServing(first);
    EXPECT_EQ(qeno::test::requestReply(first.port, "hi\r\n"), "0,x");
  }
  static void TearDownTestSuite() { JComponent::debugToStderr(); }

  void SetUp() override {
    baseline_ = qeno::test::settledCounts();
    // As qeno-host's page does, a repaint reads the box: a box that is gone
    // must never be left in the queue.
    graph_.setRepaintHandler([](JModuleObj& box) { painted_ += static_cast<int>(box.x) >= 0; });
  }

  // Runs an edit on the host thread's behalf, as qeno-host's host loop would,
  // but gives up on it after a bound: an edit that does not return is a
  // deadlock, reported as such rather than as a hung test.
  std::string edit(const char* what, const std::function<std::string()>& work) {
    auto done = std::async(std::launch::async, work);
    if (done.wait_for(std::chrono::milliseconds(qeno::test::scaledMs(10000))) !=
        std::future_status::ready) {
      std::fprintf(stderr, "%s did not return: deadlock\n", what);
      std::_Exit(1);
    }
    graph_.processEvents();
    return done.get();
  }

  // A server on a free port, enabled by a source of its own, its text output
  // into a sink, listening: its number.
  int addServer(const std::string& key1 = "(undefined)") {
    int server = -1;
    int source = -1;
    int sink = -1;
    EXPECT_EQ(editor_.add("QenoServer", 0, 0, server), "");
    EXPECT_EQ(editor_.add("IntegerSource", 0, 0, source), "");
    EXPECT_EQ(editor_.add("TextSink", 0, 0, sink), "");
    const int port = qeno::test::freePortBetween(2000, 9999);
    EXPECT_EQ(editor_.setProperty(server, "port", std::to_string(port)), "");
    EXPECT_EQ(editor_.setProperty(server, "key1", key1), "");
    EXPECT_EQ(editor_.link(source, "0", server, "readInput"), "");
    EXPECT_EQ(editor_.link(server, "xml_10", sink, "0"), "");
    static_cast<JIntegerSource*>(graph_.numbered(source))->setValue(1);
    EXPECT_TRUE(qeno::test::waitUntil([&] { return state(server) == ServerState::kListening; }));
    return server;
  }

  ServerState state(int number) const {
    auto* server = dynamic_cast<QenoServer*>(graph_.numbered(number));
    return server == nullptr ? ServerState::kIdle : server->serverState.load();
  }

  static int portOf(JModuleObj* box) { return static_cast<QenoServer*>(box)->port; }

  // Removes every box, then expects the process back at its counts from
  // before the test.
  void removeAllAndExpectNothingLeft() {
    std::vector<int> numbers;
    for (const auto& box : graph_.modules()) numbers.push_back(graph_.numberOf(*box));
    if (!numbers.empty()) {
      EXPECT_EQ(edit("remove all", [&] { return editor_.remove(numbers); }), "");
    }
    ProcessCounts now;
    EXPECT_TRUE(qeno::test::countsReturnTo(baseline_, now))
        << "before " << qeno::test::describe(baseline_) << ", now " << qeno::test::describe(now);
  }

  static inline std::atomic<int> painted_{0};
  ProcessCounts baseline_;
  JGraph graph_;
  GraphEditor editor_{graph_};
};

// Clients that connect to port over and over until stopped, each sending a
// whole request and reading to end of stream; refusals are retried.
class Clients {
 public:
  Clients(int port, int count, std::string request) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this, port, request] {
        while (!stop_) {
          TcpClient client;
          if (!client.tryConnect(port)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
          }
          client.send(request);
          if (client.readAll(2000).find(",x") != std::string::npos) ++answered_;
        }
      });
    }
  }
  ~Clients() { stop(); }
  Clients(const Clients&) = delete;
  Clients& operator=(const Clients&) = delete;

  void stop() {
    stop_ = true;
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }
  [[nodiscard]] int answered() const { return answered_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::vector<std::thread> threads_;
};

// A box that, as it stops, sends one last value from its output, here
// linked back into its own input: it stands for any value that reaches a box
// in the middle of its removal, as another box's worker publishing into it.
class LastWord : public JAddObj {
 public:
  LastWord() {
    inputCount = 1;
    outputCount = 1;
  }
  [[nodiscard]] const char* className() const override { return "LastWord"; }
  [[nodiscard]] JObject* clone() const override { return new LastWord(*this); }
  void getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) override {
    static_cast<int&>(static_cast<JIntegerData&>(data)) = 1;
  }
  void stop() override {
    stopped_ = true;
    broadcast(0);
  }
  void inputChanged(int /*n*/, JLinkObj& /*link*/) override {
    if (stopped_) ++afterStop;
  }
  static inline std::atomic<int> afterStop{0};

 private:
  bool stopped_ = false;
};

}  // namespace

// A server that gets a 1 on readInput after its stop starts again, and would
// listen and serve on until it is destroyed: its links go before it stops.
TEST_F(EditorConcurrencyTest, ABoxBeingRemovedGetsNoValueAfterItsStop) {
  const int box = graph_.numberOf(graph_.add(std::make_unique<LastWord>()));
  ASSERT_EQ(editor_.link(box, "0", box, "0"), "");
  ASSERT_EQ(edit("remove", [&] { return editor_.remove({box}); }), "");
  EXPECT_EQ(LastWord::afterStop, 0);
}

TEST_F(EditorConcurrencyTest, RemovingAServingServerAndUndoingItWhileClientsKeepConnecting) {
  const int server = addServer();
  const int port = portOf(graph_.numbered(server));
  // One client in the middle of its request, and others queuing behind it.
  TcpClient held;
  ASSERT_TRUE(held.connect(port));
  ASSERT_TRUE(held.send("half a request"));
  ASSERT_TRUE(qeno::test::waitUntil([&] { return state(server) == ServerState::kConnected; }));
  Clients clients(port, 3, "hi\r\n");

  ASSERT_EQ(edit("remove", [&] { return editor_.remove({server}); }), "");
  EXPECT_EQ(graph_.numbered(server), nullptr);
  // The held client is let go, and nothing of the server is left on its port.
  held.readAll(qeno::test::scaledMs(5000));
  EXPECT_TRUE(held.eof() || held.reset());
  EXPECT_EQ(SocketCensus::listeners(port), 0);
  EXPECT_TRUE(qeno::test::waitUntil([&] { return SocketCensus::connections(port) == 0; }));

  // Back while the clients still knock: once its input is fed again, they
  // are served.
  ASSERT_EQ(edit("undo", [&] { return editor_.undo(); }), "");
  ASSERT_NE(graph_.numbered(server), nullptr);
  for (const auto& link : graph_.links()) {
    if (link->getTarget() == graph_.numbered(server)) {
      static_cast<JIntegerSource*>(link->getSource())->setValue(1);
    }
  }
  const int before = clients.answered();
  EXPECT_TRUE(qeno::test::waitUntil([&] { return clients.answered() > before + 10; }));
  // Removed and brought back again while they connect.
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(edit("remove", [&] { return editor_.remove({server}); }), "");
    ASSERT_EQ(edit("undo", [&] { return editor_.undo(); }), "");
  }
  clients.stop();
  held.close();
  removeAllAndExpectNothingLeft();
  EXPECT_EQ(SocketCensus::listeners(port), 0);
  EXPECT_EQ(SocketCensus::connections(port), 0);
}

TEST_F(EditorConcurrencyTest, RemovingABoxWhileOthersPublishIntoItFromTheirThreads) {
  // Server a reads n= from each request onto int_1, which feeds b's
  // readInput from a's worker thread; a source set from another thread
  // feeds b's sendOutput.
  const int a = addServer("n=");
  int b = -1;
  int replies = -1;
  ASSERT_EQ(editor_.add("QenoServer", 0, 0, b), "");
  ASSERT_EQ(editor_.add("IntegerSource", 0, 0, replies), "");
  const int portB = qeno::test::freePortBetween(2000, 9999);
  ASSERT_EQ(editor_.setProperty(b, "port", std::to_string(portB)), "");
  ASSERT_EQ(editor_.link(a, "int_1", b, "readInput"), "");
  ASSERT_EQ(editor_.link(replies, "0", b, "sendOutput"), "");
  const int portA = portOf(graph_.numbered(a));
  Clients clients(portA, 2, "n=1\r\n");
  std::atomic<bool> stop{false};
  auto* source = static_cast<JIntegerSource*>(graph_.numbered(replies));
  std::thread setter([&] {
    for (int value = 0; !stop; ++value) {
      source->setValue(value % 100);
      std::this_thread::yield();
    }
  });
  ASSERT_TRUE(qeno::test::waitUntil([&] { return state(b) == ServerState::kListening; }));

  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(edit("remove", [&] { return editor_.remove({b}); }), "");
    // Whatever a delivered while b was going, nothing of b is left serving.
    EXPECT_EQ(SocketCensus::listeners(portB), 0) << "round " << i;
    ASSERT_EQ(edit("undo", [&] { return editor_.undo(); }), "");
    // a's next request starts b again through the restored link.
    ASSERT_TRUE(qeno::test::waitUntil([&] { return state(b) == ServerState::kListening; }))
        << "round " << i;
  }
  // The setter thread holds the source box itself, so it ends first.
  stop = true;
  setter.join();
  clients.stop();
  removeAllAndExpectNothingLeft();
  EXPECT_EQ(SocketCensus::listeners(portB), 0);
  EXPECT_EQ(SocketCensus::listeners(portA), 0);
}

// Server a's worker hands b's readInput a 1 at every request, and b, idle,
// copies its settings to start; meanwhile the sheet edits them on the host
// thread. b's ports lie outside 0..65535, so each start fails at once and
// the next request finds b idle again.
TEST_F(EditorConcurrencyTest, TheSheetEditsASettingWhileAnotherServersWorkerStartsWithIt) {
  const int a = addServer("n=");
  int b = -1;
  ASSERT_EQ(editor_.add("QenoServer", 0, 0, b), "");
  auto* box = static_cast<QenoServer*>(graph_.numbered(b));
  auto sheet = [box](int round) {
    JIntegerProperty port("port", 70000 + round % 2, 80, 10000);
    // Long enough to live on the heap, so a torn copy reads freed text.
    JStringProperty host("hostName/IPaddress",
                         std::string(64 + round % 64, static_cast<char>('a' + round % 2)));
    box->updateProperty(port);
    box->updateProperty(host);
  };
  sheet(0);
  ASSERT_EQ(editor_.link(a, "int_1", b, "readInput"), "");
  std::atomic<bool> stop{false};
  std::thread editing([&] {
    for (int round = 1; !stop; ++round) sheet(round);
  });
  const int portA = portOf(graph_.numbered(a));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(qeno::test::requestReply(portA, "n=1\r\n"), "0,x") << i;
    box->stop();
  }
  stop = true;
  editing.join();
  JCriticalSection::Guard hold(box->lock);
  EXPECT_TRUE(box->workerPort == 70000 || box->workerPort == 70001) << box->workerPort;
  const std::string host = box->workerHost.str();
  EXPECT_GE(host.size(), 64U);
  EXPECT_EQ(host.find_first_not_of(host.front()), std::string::npos) << host;
}

// Two threads hand a server's readInput a 1 at the same moment, as a worker
// publishing into it and an undo restoring its link do: one starts it, and
// neither waits for a client of the other's listener.
TEST_F(EditorConcurrencyTest, TwoDeliveriesAtOnceStartOneServerAndBothReturn) {
  int server = -1;
  int source = -1;
  ASSERT_EQ(editor_.add("QenoServer", 0, 0, server), "");
  ASSERT_EQ(editor_.add("IntegerSource", 0, 0, source), "");
  const int port = qeno::test::freePortBetween(2000, 9999);
  ASSERT_EQ(editor_.setProperty(server, "port", std::to_string(port)), "");
  ASSERT_EQ(editor_.link(source, "0", server, "readInput"), "");
  auto* box = static_cast<QenoServer*>(graph_.numbered(server));
  auto* enable = static_cast<JIntegerSource*>(graph_.numbered(source));
  for (int round = 0; round < 300; ++round) {
    std::atomic<int> ready{0};
    auto deliver = [&] {
      ++ready;
      while (ready < 2) {
      }
      enable->setValue(1);
    };
    auto first = std::async(std::launch::async, deliver);
    auto second = std::async(std::launch::async, deliver);
    const auto bound = std::chrono::milliseconds(qeno::test::scaledMs(5000));
    const bool returned = first.wait_for(bound) == std::future_status::ready &&
                          second.wait_for(bound) == std::future_status::ready;
    if (!returned) {
      ADD_FAILURE() << "a delivery waits for a client, round " << round;
      TcpClient release;  // a client ends the pending start, and the wait
      release.connect(port);
      release.send("hi\r\n");
      release.readAll();
    }
    first.get();
    second.get();
    ASSERT_TRUE(qeno::test::waitUntil([&] { return box->serverState == ServerState::kListening; }));
    box->stop();
    if (!returned) break;
  }
  removeAllAndExpectNothingLeft();
}
