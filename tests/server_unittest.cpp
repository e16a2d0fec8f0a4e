// The network service against the real module on loopback: the worker's life
// (start, listen, accept, stop, shutdown, destruction) and the request/reply
// exchange, with real client sockets.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HostModules.h"
#include "JComponent.h"
#include "JException.h"
#include "JGraph.h"
#include "JSocket.h"
#include "JThread.h"
#include "ModuleGuard.h"
#include "QenoServer.h"
#include "Serving.h"
#include "SocketCensus.h"
#include "TestSupport.h"

using qeno::test::DebugCapture;
using qeno::test::freePort;
using qeno::test::portIsFree;
using qeno::test::SocketSettingsScope;
using qeno::test::startServing;
using qeno::test::TcpClient;
using qeno::test::waitUntil;
using Clock = std::chrono::steady_clock;

namespace {

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A text as the debug channel shows it.
std::string shown(const std::string& text) {
  return JComponent::escape(text);
}

// Stricter: a bind without address reuse succeeds only when no socket of the
// port is left at all, not even a closed listener whose descriptor lives on.
// Meaningful only where no connection has left the port in TIME_WAIT.
bool portIsUnbound(int port) {
  return qeno::test::canBindLoopback(port);
}

// A QenoServer in a graph, output 29 ("xml_10") linked to a text sink, on a
// free loopback port. TearDown stops every server, also after a failed
// assertion, and the graph stops them again when it goes.
class ServerTest : public ::testing::Test {
 protected:
  ServerTest() {
    server_ = addServer();
    auto sink = std::make_unique<JTextSink>();
    sink_ = sink.get();
    graph_.add(std::move(sink));
    graph_.link(*server_, ServerPorts::kTextOutput, *sink_, 0);
  }

  void TearDown() override {
    for (QenoServer* server : servers_) server->stop();
  }

  QenoServer* addServer() {
    auto owned = std::make_unique<QenoServer>();
    QenoServer* server = owned.get();
    bool taken = true;
    while (taken) {
      server->port = freePort();
      taken = false;
      for (QenoServer* other : servers_) taken = taken || other->port == server->port;
    }
    graph_.add(std::move(owned));
    servers_.push_back(server);
    return server;
  }

  // Starts server and waits until it listens.
  [[nodiscard]] bool start(QenoServer& server, int reply) {
    startServing(server, reply);
    return waitUntil([&] { return server.serverState == ServerState::kListening; });
  }
  [[nodiscard]] bool start(int reply = 5) { return start(*server_, reply); }

  // Sends bytes and waits until the server has received them, so that the
  // next send arrives in a receive of its own.
  [[nodiscard]] bool sendChunk(TcpClient& client, const std::string& bytes) {
    const int before = debug_.count("got result");
    return client.send(bytes) && debug_.waitFor("got result", 5000, before + 1);
  }

  // Waits until the exchange has begun a receive beyond the ones it reported
  // so far: what it received did not end the request. Every finished pass
  // writes one "socketHandle is" and one "got result" line.
  [[nodiscard]] bool waitForNextPass() {
    const int received = debug_.count("got result");
    return waitUntil([&] { return debug_.countStartingWith("socketHandle is ") > received; });
  }

  // One whole exchange with a new client: the reply, read to end of stream.
  std::string ask(const std::string& request) {
    TcpClient client;
    if (!client.connect(server_->port)) return "<refused>";
    if (!client.send(request)) return "<send failed>";
    std::string reply = client.readAll();
    EXPECT_TRUE(client.eof());
    EXPECT_FALSE(client.reset());
    return reply;
  }

  static std::string published(const QenoServer& server) {
    JCriticalSection::Guard hold(server.outputLock);
    return server.textValues[ServerPorts::kTextOutput - ServerPorts::kFirstTextOutput].str();
  }

  // Stops the server and checks that nothing of it is left running. A stop
  // that hangs on a worker blocked in a receive is reported, and released by
  // closing client.
  void stopAndExpectGone(TcpClient* client = nullptr) {
    const Clock::time_point began = Clock::now();
    std::future<void> stopping = std::async(std::launch::async, [this] { server_->stop(); });
    if (stopping.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
      ADD_FAILURE() << "stop did not return";
      if (client != nullptr) client->close();
    }
    stopping.get();
    EXPECT_LT(msSince(began), qeno::test::scaledMs(1000));
    EXPECT_FALSE(server_->worker.isRunning());
    EXPECT_EQ(server_->serverState, ServerState::kIdle);
    EXPECT_EQ(server_->startPending, 0);
    EXPECT_TRUE(portIsFree(server_->port));
  }

  DebugCapture debug_;  // first in, last out: workers write to it to the end
  JGraph graph_;
  QenoServer* server_ = nullptr;
  JTextSink* sink_ = nullptr;
  std::vector<QenoServer*> servers_;
};

class ServerExchangeTest : public ServerTest {};
class ServerLifecycleTest : public ServerTest {};
class ServerFaultTest : public ServerTest {};

}  // namespace

// ---- the end-of-request test

TEST(LineBreakPairTest, TwoLineBreakBytesInARowEndARequest) {
  for (const char* text : {"\r\n", "\n\r", "\r\r", "\n\n", "hello\r\n", "a\n\nb", "a\r\r\r"}) {
    EXPECT_TRUE(QenoServer::hasLineBreakPair(text)) << shown(text);
  }
  for (const char* text : {"", "\r", "\n", "hello", "a\rb\n", "\ra\n", "a\r b\n c\r"}) {
    EXPECT_FALSE(QenoServer::hasLineBreakPair(text)) << shown(text);
  }
}

// ---- the exchange

TEST_F(ServerExchangeTest, HelloIsAnsweredWithExactlyTheReplyThenEndOfStream) {
  ASSERT_TRUE(start(5));
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_TRUE(client.send("hello\r\n"));
  EXPECT_EQ(client.readAll(), "5,x");
  EXPECT_TRUE(client.eof());
  EXPECT_FALSE(client.reset());

  EXPECT_EQ(published(*server_), "hello\r\n");
  EXPECT_EQ(sink_->received(), 1);
  EXPECT_EQ(sink_->lastText(), "hello\r\n");
  EXPECT_EQ(server_->connectedFlag, 1);

  std::vector<std::string> lines = debug_.lines();
  ASSERT_GE(lines.size(), 8U);
  EXPECT_EQ(lines[0], "try to connect");
  EXPECT_EQ(lines[1], "connected");
  const std::string prefix = "socketHandle is ";
  ASSERT_EQ(lines[2].substr(0, prefix.size()), prefix);
  EXPECT_GE(std::stoi(lines[2].substr(prefix.size())), 0);
  EXPECT_EQ(lines[3], "got result");
  EXPECT_EQ(lines[4], shown("dataBuf now: hello\r\n"));
  EXPECT_EQ(lines[5], "getting out");
  EXPECT_EQ(lines[6], "5,x");
  EXPECT_EQ(lines[7], "send result is 3");
}

TEST_F(ServerExchangeTest, NegativeZeroAndExtremeRepliesKeepTheirSign) {
  ASSERT_TRUE(start(-12));
  EXPECT_EQ(ask("a\r\n"), "-12,x");
  // The reply takes input 1's value as it is when the exchange ends.
  server_->replyValue = 0;
  EXPECT_EQ(ask("b\r\n"), "0,x");
  server_->replyValue = INT_MIN;
  EXPECT_EQ(ask("c\r\n"), "-2147483648,x");
}

TEST_F(ServerExchangeTest, ARequestInThreeReceivesIsAnsweredAfterTheThird) {
  ASSERT_TRUE(start(5));
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_TRUE(sendChunk(client, "ab"));
  ASSERT_TRUE(waitForNextPass());
  ASSERT_TRUE(sendChunk(client, "cd\n"));
  ASSERT_TRUE(waitForNextPass());
  EXPECT_EQ(client.readSome(50), "");
  EXPECT_EQ(debug_.count("getting out"), 0);
  server_->replyValue = 6;  // the value when the exchange ends is the one sent
  ASSERT_TRUE(client.send("\n"));
  EXPECT_EQ(client.readAll(), "6,x");
  EXPECT_TRUE(client.eof());

  EXPECT_EQ(sink_->received(), 3);
  EXPECT_EQ(sink_->lastText(), "\n");
  EXPECT_EQ(debug_.count("dataBuf now: ab"), 1);
  EXPECT_EQ(debug_.count(shown("dataBuf now: abcd\n")), 1);
  EXPECT_EQ(debug_.count(shown("dataBuf now: abcd\n\n")), 1);
}

TEST_F(ServerExchangeTest, EachPairOfLineBreakBytesEndsARequest) {
  ASSERT_TRUE(start(7));
  for (const std::string request : {"x\r\r", "x\n\n", "x\n\r", "\r\n", "a\r\nrest"}) {
    SCOPED_TRACE(shown(request));
    EXPECT_EQ(ask(request), "7,x");
    EXPECT_EQ(published(*server_), request);
  }
}

TEST_F(ServerExchangeTest, LineBreaksApartDoNotEndARequestButAPairAcrossChunksDoes) {
  ASSERT_TRUE(start(5));
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_TRUE(sendChunk(client, "a\rb\n"));
  ASSERT_TRUE(waitForNextPass());
  EXPECT_EQ(debug_.count("getting out"), 0);
  ASSERT_TRUE(sendChunk(client, "c\r"));
  ASSERT_TRUE(waitForNextPass());
  ASSERT_TRUE(client.send("\n"));
  EXPECT_EQ(client.readAll(), "5,x");
  EXPECT_EQ(debug_.count(shown("dataBuf now: a\rb\nc\r\n")), 1);
}

TEST_F(ServerExchangeTest, AZeroByteCutsTheChunkTextForPublishingAndAccumulating) {
  ASSERT_TRUE(start(5));
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  // The pair after the zero byte is not part of the text: no end yet.
  ASSERT_TRUE(sendChunk(client, std::string("ab\0cd\r\n", 7)));
  ASSERT_TRUE(waitForNextPass());
  EXPECT_EQ(published(*server_), "ab");
  EXPECT_EQ(sink_->lastText(), "ab");
  EXPECT_EQ(debug_.count("dataBuf now: ab"), 1);
  ASSERT_TRUE(client.send("\n\n"));
  EXPECT_EQ(client.readAll(), "5,x");
  EXPECT_EQ(debug_.count(shown("dataBuf now: ab\n\n")), 1);
}

TEST_F(ServerExchangeTest, APairThatWouldFillTheBufferTo5000BytesDoesNotEndTheRequest) {
  ASSERT_TRUE(start(5));
  // 4997 + 2 stays under the cap: the pair is kept and ends the request.
  {
    TcpClient client;
    ASSERT_TRUE(client.connect(server_->port));
    const std::string kept(4997, 'a');
    ASSERT_TRUE(client.send(kept));
    ASSERT_TRUE(debug_.waitFor("dataBuf now: " + kept));
    ASSERT_TRUE(client.send("\r\n"));
    EXPECT_EQ(client.readAll(), "5,x");
  }
  // 4998 + 2 reaches it: the chunk is published but not kept.
  debug_.clear();
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  const std::string full(4998, 'a');
  ASSERT_TRUE(client.send(full));
  ASSERT_TRUE(debug_.waitFor("dataBuf now: " + full));
  ASSERT_TRUE(client.send("\r\n"));
  ASSERT_TRUE(debug_.waitFor("dataBuf now: " + full, 5000, 2));
  ASSERT_TRUE(waitForNextPass());
  EXPECT_EQ(published(*server_), "\r\n");
  EXPECT_EQ(debug_.count("getting out"), 0);
  EXPECT_EQ(client.readSome(50), "");
  // Only the client's end of stream ends it now; the reply still comes.
  client.shutdownWrite();
  EXPECT_EQ(client.readAll(), "5,x");
  EXPECT_EQ(debug_.count("z result"), 1);
}

TEST_F(ServerExchangeTest, ManyChunksEndTheExchangeAtTheReceiveLimitWithAReply) {
  ASSERT_TRUE(start(5));
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  auto limitReached = [&] { return debug_.count("receive limit reached") > 0; };
  for (int i = 1; i <= 450; ++i) {
    if (limitReached()) {
      client.send("x");  // the server now drains what still comes
      continue;
    }
    ASSERT_TRUE(client.send("x")) << "chunk " << i;
    ASSERT_TRUE(waitUntil([&] { return debug_.count("got result") >= i || limitReached(); }))
        << "chunk " << i;
  }
  EXPECT_EQ(client.readAll(), "5,x");
  EXPECT_TRUE(client.eof());
  EXPECT_EQ(debug_.count("receive limit reached"), 1);
  EXPECT_EQ(debug_.count("got result"), QenoServer::kReceiveLimit - 1);
  EXPECT_EQ(sink_->received(), QenoServer::kReceiveLimit - 1);
  client.close();
  // The process is still here, and so is the server.
  EXPECT_EQ(ask("next\r\n"), "5,x");
}

TEST_F(ServerExchangeTest, AnHttpStyleClientReadsTheWholeReplyAndEndOfStreamNeverAReset) {
  ASSERT_TRUE(start(5));
  {
    // The request line alone ends the request. The header lines come after
    // the reply was sent, the way a slow client types them, and the server
    // must take them rather than reset the connection under the client.
    TcpClient client;
    ASSERT_TRUE(client.connect(server_->port));
    ASSERT_TRUE(client.send("GET / HTTP/1.0\r\n"));
    ASSERT_TRUE(debug_.waitFor("send result is 3"));
    for (const char* line : {"Host: 127.0.0.1\r\n", "Accept: */*\r\n", "X-Slow: 1\r\n"}) {
      ASSERT_TRUE(client.send(line)) << line;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // pacing, not ordering
    }
    ASSERT_TRUE(client.send("\r\n"));
    EXPECT_EQ(client.readAll(), "5,x");
    EXPECT_TRUE(client.eof());
    EXPECT_FALSE(client.reset());
  }
  // Request line and headers in one packet.
  EXPECT_EQ(ask("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"), "5,x");
  // More headers than one receive takes: the server still holds unread
  // bytes when it has answered.
  EXPECT_EQ(ask("GET / HTTP/1.0\r\nCookie: " + std::string(60000, 'c') + "\r\n\r\n"), "5,x");
}

// ---- the worker's life

TEST_F(ServerLifecycleTest, AClientThatClosesWithoutSendingGetsZResultAndTheNextIsServed) {
  ASSERT_TRUE(start(5));
  {
    TcpClient silent;
    ASSERT_TRUE(silent.connect(server_->port));
    ASSERT_TRUE(debug_.waitFor("connected"));
    silent.shutdownWrite();
    // The reply is still sent, once.
    EXPECT_EQ(silent.readAll(), "5,x");
    EXPECT_TRUE(silent.eof());
  }
  EXPECT_EQ(debug_.count("z result"), 1);
  EXPECT_EQ(debug_.count("send result is 3"), 1);
  EXPECT_EQ(ask("hi\r\n"), "5,x");
  EXPECT_EQ(published(*server_), "hi\r\n");
}

TEST_F(ServerLifecycleTest, EveryConnectionAndEveryListenAfterItAsksForARepaint) {
  ASSERT_TRUE(start(5));
  // An editor learns each state from a repaint alone: the connection and
  // the listen that follows it ask for one each, at every request.
  for (int round = 0; round < 2; ++round) {
    const int before = server_->repaintCount();
    const int listens = debug_.count("try to connect");
    EXPECT_EQ(ask("hi\r\n"), "5,x");
    ASSERT_TRUE(debug_.waitFor("try to connect", 5000, listens + 1));
    EXPECT_GE(server_->repaintCount() - before, 2) << "round " << round;
  }
}

TEST_F(ServerLifecycleTest, AClientIsRefusedWhileAnotherIsConnectedAndServedAfterwards) {
  ASSERT_TRUE(start(5));
  TcpClient first;
  ASSERT_TRUE(first.connect(server_->port));
  ASSERT_TRUE(debug_.waitFor("connected"));
  TcpClient second;
  EXPECT_FALSE(second.tryConnect(server_->port));
  ASSERT_TRUE(first.send("one\r\n"));
  EXPECT_EQ(first.readAll(), "5,x");
  first.close();
  EXPECT_EQ(ask("two\r\n"), "5,x");
  EXPECT_EQ(published(*server_), "two\r\n");
  EXPECT_EQ(debug_.count("connected"), 2);
}

TEST_F(ServerLifecycleTest, AnAnsweredClientThatStaysOpenIsNoLongerTheBoxsConnection) {
  // The closer holds the connection until the peer hangs up; what a host
  // tells of the box is that it listens again, not that it still serves.
  SocketSettings patient = SocketSettings::current();
  patient.lingerMs = 60000;
  const SocketSettingsScope scope(patient);
  ASSERT_TRUE(start(5));
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_TRUE(client.send("hi\r\n"));
  EXPECT_EQ(client.readAll(), "5,x");
  EXPECT_TRUE(waitUntil([&] {
    return SocketCensus::listenersOf(server_) == 1 && SocketCensus::connectionsOf(server_) == 0;
  }));
  EXPECT_EQ(SocketCensus::connections(server_->port), 1);
  EXPECT_EQ(SocketCensus::portOf(server_), server_->port);
  client.close();
  EXPECT_TRUE(waitUntil([&] { return SocketCensus::connections(server_->port) == 0; }));
}

TEST_F(ServerLifecycleTest, StopWhileListeningEndsTheWorkerAndFreesThePort) {
  ASSERT_TRUE(start());
  stopAndExpectGone();
  EXPECT_TRUE(portIsUnbound(server_->port));
  // Stopping again is harmless.
  server_->stop();
  EXPECT_FALSE(server_->worker.isRunning());
}

TEST_F(ServerLifecycleTest, StopWhileASilentClientIsConnectedEndsTheWorkerAndTheConnection) {
  ASSERT_TRUE(start());
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_TRUE(waitForNextPass());
  stopAndExpectGone(&client);
  client.readAll(2000);
  EXPECT_TRUE(client.eof() || client.reset());
}

TEST_F(ServerLifecycleTest, StopMidExchangeEndsTheWorkerAndTheConnection) {
  ASSERT_TRUE(start());
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_TRUE(sendChunk(client, "ab"));
  ASSERT_TRUE(waitForNextPass());
  stopAndExpectGone(&client);
  client.readAll(2000);
  EXPECT_TRUE(client.eof() || client.reset());
  // A stopped instance starts afresh.
  ASSERT_TRUE(start(8));
  EXPECT_EQ(ask("again\r\n"), "8,x");
}

TEST_F(ServerLifecycleTest, ShutdownEndsAListeningWorkerWithinAboutAPollInterval) {
  ASSERT_TRUE(start());
  const JThread watched = server_->worker;
  const Clock::time_point began = Clock::now();
  server_->shutdown();
  EXPECT_EQ(server_->serverState, ServerState::kIdle);
  ASSERT_TRUE(waitUntil([&] { return !watched.isRunning(); }, 2000));
  EXPECT_LT(msSince(began), qeno::test::scaledMs(1000));
  EXPECT_EQ(server_->startPending, 0);
  EXPECT_TRUE(portIsUnbound(server_->port));
  ASSERT_TRUE(start(6));
  EXPECT_EQ(ask("again\r\n"), "6,x");
}

TEST_F(ServerLifecycleTest, ShutdownWhileServingEndsTheWorkerAndAStartRightAfterServes) {
  ASSERT_TRUE(start());
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_TRUE(sendChunk(client, "ab"));
  server_->shutdown();
  // No wait for the old worker: the start must wait for it itself.
  startServing(*server_, 9);
  client.readAll(2000);
  EXPECT_TRUE(client.eof() || client.reset());
  EXPECT_EQ(ask("again\r\n"), "9,x");
}

TEST_F(ServerLifecycleTest, TwoInstancesServeAtOnceWithoutMixingTheirRequests) {
  QenoServer* other = addServer();
  ASSERT_TRUE(start(*server_, 1));
  ASSERT_TRUE(start(*other, 2));
  TcpClient a;
  TcpClient b;
  ASSERT_TRUE(a.connect(server_->port));
  ASSERT_TRUE(b.connect(other->port));
  ASSERT_TRUE(debug_.waitFor("connected", 5000, 2));
  ASSERT_TRUE(a.send("a1"));
  ASSERT_TRUE(debug_.waitFor("dataBuf now: a1"));
  ASSERT_TRUE(b.send("b1"));
  ASSERT_TRUE(debug_.waitFor("dataBuf now: b1"));
  ASSERT_TRUE(a.send("a2"));
  ASSERT_TRUE(debug_.waitFor("dataBuf now: a1a2"));
  ASSERT_TRUE(b.send("\r\n"));
  EXPECT_EQ(b.readAll(), "2,x");
  ASSERT_TRUE(a.send("\n\n"));
  EXPECT_EQ(a.readAll(), "1,x");

  EXPECT_EQ(debug_.count(shown("dataBuf now: b1\r\n")), 1);
  EXPECT_EQ(debug_.count(shown("dataBuf now: a1a2\n\n")), 1);
  EXPECT_EQ(published(*server_), "\n\n");
  EXPECT_EQ(published(*other), "\r\n");
  EXPECT_EQ(sink_->received(), 3);  // only the first is linked to the sink
}

// ---- faults the worker must survive

TEST_F(ServerFaultTest, APortOutsideTheRangeFailsToListenInsteadOfServingElsewhere) {
  const int wrapped = server_->port;
  for (int bad : {-1, 65536 + wrapped}) {
    SCOPED_TRACE(bad);
    debug_.clear();
    server_->port = bad;
    startServing(*server_, 5);
    const JThread watched = server_->worker;
    ASSERT_TRUE(waitUntil([&] { return !watched.isRunning(); }));
    const std::vector<std::string> lines = debug_.lines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "got exception");
    EXPECT_EQ(lines[1], "listen");
    EXPECT_EQ(server_->serverState, ServerState::kIdle);
    EXPECT_EQ(server_->startPending, 0);
    TcpClient probe;
    EXPECT_FALSE(probe.tryConnect(wrapped));
  }
  server_->port = wrapped;
  ASSERT_TRUE(start(4));
  EXPECT_EQ(ask("in range\r\n"), "4,x");
}

TEST_F(ServerFaultTest, AWorkerThatCannotListenLeavesTheInstanceReadyToStartAgain) {
  {
    JServerSocket squatter(server_->port);
    ASSERT_EQ(squatter.listen(1), 1);
    startServing(*server_, 5);
    ASSERT_TRUE(debug_.waitFor("listen"));
    const JThread watched = server_->worker;
    ASSERT_TRUE(waitUntil([&] { return !watched.isRunning(); }));
    EXPECT_EQ(debug_.count("got exception"), 1);
    EXPECT_EQ(server_->serverState, ServerState::kIdle);
    EXPECT_EQ(server_->startPending, 0);
  }
  ASSERT_TRUE(start(5));
  EXPECT_EQ(ask("now\r\n"), "5,x");
}

TEST_F(ServerFaultTest, AWorkerEndedByInputZeroLeavesTheInstanceReadyToStartAgain) {
  ASSERT_TRUE(start(5));
  server_->enableValue = 0;  // tested once a client is connected
  const JThread watched = server_->worker;
  {
    TcpClient client;
    ASSERT_TRUE(client.connect(server_->port));
    ASSERT_TRUE(waitUntil([&] { return !watched.isRunning(); }));
  }
  EXPECT_EQ(server_->serverState, ServerState::kIdle);
  EXPECT_EQ(server_->startPending, 0);
  ASSERT_TRUE(start(3));
  EXPECT_EQ(ask("back\r\n"), "3,x");
}

TEST_F(ServerFaultTest, InputZeroEndsTheWorkerAfterAnExchangeOnlyWhenTheConnectionIsGone) {
  // Connection up after the reply: the worker listens again and ends at the
  // next accept, closing that client unserved.
  ASSERT_TRUE(start(5));
  {
    TcpClient client;
    ASSERT_TRUE(client.connect(server_->port));
    ASSERT_TRUE(sendChunk(client, "up"));
    server_->enableValue = 0;
    ASSERT_TRUE(client.send("\r\n"));
    EXPECT_EQ(client.readAll(), "5,x");
  }
  ASSERT_TRUE(debug_.waitFor("try to connect", 5000, 2));
  EXPECT_EQ(server_->serverState, ServerState::kListening);
  const JThread first = server_->worker;
  {
    TcpClient unserved;
    ASSERT_TRUE(unserved.connect(server_->port));
    ASSERT_TRUE(waitUntil([&] { return !first.isRunning(); }));
    EXPECT_EQ(unserved.readAll(), "");
  }
  EXPECT_EQ(server_->serverState, ServerState::kIdle);

  // Connection gone (the client half-closes and still reads its reply): the
  // worker ends idle at once, and the port refuses the next client.
  ASSERT_TRUE(start(6));
  const JThread second = server_->worker;
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_TRUE(sendChunk(client, "abc"));
  server_->enableValue = 0;
  client.shutdownWrite();
  EXPECT_EQ(client.readAll(), "6,x");
  ASSERT_TRUE(waitUntil([&] { return !second.isRunning(); }));
  EXPECT_EQ(server_->serverState, ServerState::kIdle);
  EXPECT_EQ(debug_.count("try to connect"), 3);
  TcpClient refused;
  EXPECT_FALSE(refused.tryConnect(server_->port));
}

TEST_F(ServerFaultTest, AnIdleServerHoldsItsListenerAloneOnceAnAcceptWaitsInVain) {
  ASSERT_TRUE(start(5));
  const qeno::test::ProcessCounts listening = qeno::test::settledCounts();
  EXPECT_EQ(ask("one\r\n"), "5,x");
  // Serving bound the listener after the next one ahead; an accept that
  // waits a whole poll interval in vain drops it again.
  qeno::test::ProcessCounts now;
  EXPECT_TRUE(qeno::test::countsReturnTo(listening, now))
      << qeno::test::describe(listening) << " listening, " << qeno::test::describe(now) << " now";
}

TEST_F(ServerFaultTest, AnyThrowFromALinkedBoxIsToldAndTheServerGoesOnServing) {
  // A linked box that fails while taking up xml_10, on the worker's thread:
  // the host tells it, naming the box, and the exchange goes on to its reply.
  sink_->setHandler([](const std::string& text) {
    if (text.rfind("std", 0) == 0) throw std::runtime_error("out of luck");
    if (text.rfind("int", 0) == 0) throw 7;
    if (text.rfind("host", 0) == 0) throw new JException("boom");
  });
  ASSERT_TRUE(start(5));
  testing::internal::CaptureStderr();
  for (const char* request : {"std\r\n", "int\r\n", "host\r\n"}) {
    EXPECT_EQ(ask(request), "5,x") << request;
  }
  const std::string told = testing::internal::GetCapturedStderr();
  for (const char* message : {"out of luck", "an exception of unknown type", "boom"}) {
    EXPECT_NE(told.find("box 1 (TextSink, "), std::string::npos) << told;
    EXPECT_NE(told.find(std::string(" threw in inputChanged: ") + message + "\n"),
              std::string::npos)
        << told;
  }
  const auto fault = ModuleGuard::faultOf(sink_);
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->operation, "inputChanged");
  EXPECT_EQ(fault->message, "boom");
  EXPECT_EQ(debug_.count("input stream thread got exception"), 0);
  EXPECT_EQ(debug_.countStartingWith("worker ended by an unexpected exception"), 0);
  EXPECT_EQ(ask("fine\r\n"), "5,x");
}

TEST_F(ServerFaultTest, APeerThatEndedMakesTheWorkerListenAgainNotResend) {
  ASSERT_TRUE(start(5));
  {
    TcpClient client;
    ASSERT_TRUE(client.connect(server_->port));
    ASSERT_TRUE(waitForNextPass());
  }
  ASSERT_TRUE(debug_.waitFor("z result"));
  ASSERT_TRUE(debug_.waitFor("try to connect", 5000, 2));
  EXPECT_EQ(debug_.count("getting out"), 1);
  EXPECT_EQ(debug_.countStartingWith("send result is "), 1);
  EXPECT_EQ(server_->serverState, ServerState::kListening);
  EXPECT_EQ(ask("next\r\n"), "5,x");
}

TEST_F(ServerFaultTest, ASendToAPeerThatResetDoesNotKillTheProcess) {
  ASSERT_TRUE(start(5));
  {
    TcpClient client;
    ASSERT_TRUE(client.connect(server_->port));
    ASSERT_TRUE(waitForNextPass());
    client.abort();
  }
  // The receive fails, and the reply goes to a connection that is gone: with
  // a raised SIGPIPE this process would end here.
  ASSERT_TRUE(debug_.waitFor("-1"));
  ASSERT_TRUE(debug_.waitFor("send result is -1"));
  EXPECT_EQ(ask("still here\r\n"), "5,x");
}

TEST_F(ServerFaultTest, ASecondStartWhilePendingOrRunningNeverStartsASecondWorker) {
  const int elsewhere = freePort();
  ASSERT_TRUE(start(5));
  ASSERT_EQ(server_->startPending, 1);  // pending until a client is accepted
  auto second = std::async(std::launch::async, [&] {
    server_->startServer(server_->hostName, elsewhere, server_->url);
  });
  struct StopBeforeWaiting {  // a hung second start must not hang the test
    QenoServer* server;
    ~StopBeforeWaiting() { server->stop(); }
  } guard{server_};
  TcpClient client;
  ASSERT_TRUE(client.connect(server_->port));
  ASSERT_EQ(second.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  second.get();
  EXPECT_EQ(server_->workerPort, server_->port);
  ASSERT_TRUE(client.send("one\r\n"));
  EXPECT_EQ(client.readAll(), "5,x");
  client.close();

  // Running and listening again, nothing pending: the call returns at once.
  ASSERT_TRUE(debug_.waitFor("try to connect", 5000, 2));
  server_->startServer(server_->hostName, elsewhere, server_->url);
  EXPECT_EQ(server_->workerPort, server_->port);
  EXPECT_EQ(ask("two\r\n"), "5,x");
  TcpClient probe;
  EXPECT_FALSE(probe.tryConnect(elsewhere));
}

// ---- destruction

class ServerDestructionTest : public ::testing::Test {
 protected:
  static std::unique_ptr<QenoServer> make() {
    auto server = std::make_unique<QenoServer>();
    server->port = freePort();
    return server;
  }

  // Destroys server and checks that its worker had ended first.
  static void destroy(std::unique_ptr<QenoServer>& server) {
    const JThread watched = server->worker;  // copies share the thread
    const int port = server->port;
    const Clock::time_point began = Clock::now();
    server.reset();
    EXPECT_LT(msSince(began), qeno::test::scaledMs(1000));
    EXPECT_FALSE(watched.isRunning());
    EXPECT_TRUE(portIsFree(port));
  }

  DebugCapture debug_;
};

TEST_F(ServerDestructionTest, RightAfterStartTheWorkerIsAwaited) {
  std::unique_ptr<QenoServer> server = make();
  startServing(*server, 5);
  destroy(server);
}

TEST_F(ServerDestructionTest, AfterShutdownTheWorkerIsAwaited) {
  std::unique_ptr<QenoServer> server = make();
  startServing(*server, 5);
  ASSERT_TRUE(waitUntil([&] { return server->serverState == ServerState::kListening; }));
  server->shutdown();
  destroy(server);
}

TEST_F(ServerDestructionTest, MidExchangeTheWorkerAndConnectionEnd) {
  std::unique_ptr<QenoServer> server = make();
  startServing(*server, 5);
  TcpClient client;
  ASSERT_TRUE(client.connect(server->port));
  ASSERT_TRUE(client.send("partial"));
  ASSERT_TRUE(debug_.waitFor("dataBuf now: partial"));
  destroy(server);
  client.readAll(2000);
  EXPECT_TRUE(client.eof() || client.reset());
}
