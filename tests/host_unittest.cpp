// The host layer's mechanisms that the module relies on.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "HostModules.h"
#include "JComponent.h"
#include "JException.h"
#include "JGraph.h"
#include "JGraphics.h"
#include "JPersist.h"
#include "JRegistry.h"
#include "JSocket.h"
#include "JSocketStreams.h"
#include "JThread.h"
#include "ModuleGuard.h"
#include "TestSupport.h"

using qeno::test::DebugCapture;
using qeno::test::SocketSettingsScope;
using qeno::test::TcpClient;
using qeno::test::waitUntil;
using Clock = std::chrono::steady_clock;

namespace {

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(TextTest, IntegersInAnyRadixIncludingTheExtremes) {
  EXPECT_EQ(JInteger::toJString(0, 10).str(), "0");
  EXPECT_EQ(JInteger::toJString(-12, 10).str(), "-12");
  EXPECT_EQ(JInteger::toJString(INT_MIN, 10).str(), "-2147483648");
  EXPECT_EQ(JInteger::toJString(255, 16).str(), "ff");
  EXPECT_TRUE(JString("a") + "b" + JString("c") == "abc");
}

TEST(DebugChannelTest, ControlBytesStayOnOneEscapedLine) {
  DebugCapture capture;
  JComponent::debug(JString(std::string("GET /\r\nX: \x1b[31mred\\\x7f", 20)));
  ASSERT_EQ(capture.lines().size(), 1U);
  EXPECT_EQ(capture.lines()[0], "GET /\\r\\nX: \\x1b[31mred\\\\\\x7f");
}

TEST(SocketTest, CopiesShareOneConnectionAndDoubleCloseIsHarmless) {
  JServerSocket server;
  {
    JServerSocket temporary(0);
    ASSERT_EQ(temporary.listen(1), 1);
    server = temporary;
  }  // the temporary goes; the member keeps the socket open
  const int port = server.getLocalPort();
  ASSERT_GT(port, 0);
  TcpClient client;
  ASSERT_TRUE(client.connect(port));
  JSocket accepted;
  ASSERT_EQ(server.accept(accepted), 1);
  JSocketOutputStream stream(accepted);
  EXPECT_EQ(static_cast<int>(stream), accepted.handle());
  accepted.close();
  accepted.close();
  server.close();
  EXPECT_TRUE(server.isClosed());
  EXPECT_EQ(client.readAll(2000), "");
  EXPECT_TRUE(client.eof());
}

TEST(SocketTest, CloseFromAnotherThreadWakesBlockedAcceptAndReceive) {
  SocketSettings settings = SocketSettings::current();
  settings.acceptWaitMs = 20000;
  SocketSettingsScope scope(settings);

  JServerSocket server(0);
  ASSERT_EQ(server.listen(1), 1);
  std::atomic<int> accepted{-1};
  std::atomic<int> acceptorId{0};
  JSocket unused;
  std::thread acceptor([&] {
    acceptorId = qeno::test::currentThreadId();
    accepted = server.accept(unused);
  });
  ASSERT_TRUE(waitUntil([&] { return acceptorId != 0; }));
  EXPECT_TRUE(qeno::test::waitUntilBlocked(acceptorId));
  Clock::time_point start = Clock::now();
  server.close();
  acceptor.join();
  EXPECT_EQ(accepted, 0);
  EXPECT_LT(msSince(start), qeno::test::scaledMs(1000));

  JServerSocket listener(0);
  ASSERT_EQ(listener.listen(1), 1);
  TcpClient client;
  ASSERT_TRUE(client.connect(listener.getLocalPort()));
  JSocket connection;
  ASSERT_EQ(listener.accept(connection), 1);
  std::atomic<long> received{1};
  std::atomic<int> readerId{0};
  std::thread reader([&] {
    const int descriptor = static_cast<int>(JSocketInputStream(connection));
    char byte = 0;
    readerId = qeno::test::currentThreadId();
    received = ::recv(descriptor, &byte, 1, 0);
  });
  ASSERT_TRUE(waitUntil([&] { return readerId != 0; }));
  EXPECT_TRUE(qeno::test::waitUntilBlocked(readerId));
  start = Clock::now();
  connection.close();
  reader.join();
  EXPECT_EQ(received, 0);
  EXPECT_LT(msSince(start), qeno::test::scaledMs(1000));
}

TEST(SocketTest, PortsOutsideTheRangeFailInsteadOfWrapping) {
  for (int port : {-1, 65536, 65536 + 8080}) {
    JServerSocket server(port);
    EXPECT_EQ(server.listen(1), 0) << port;
    EXPECT_NE(server.lastError().find("outside 0..65535"), std::string::npos);
  }
}

TEST(SocketTest, APortInUseFailsWithTheSystemsReason) {
  JServerSocket first(0);
  ASSERT_EQ(first.listen(1), 1);
  JServerSocket second(first.getLocalPort());
  EXPECT_EQ(second.listen(1), 0);
  EXPECT_EQ(second.lastError(), "Address already in use");
  first.close();
  // The port is free again once the first socket is closed.
  JServerSocket third(second.getPort());
  EXPECT_EQ(third.listen(1), 1);
}

TEST(SocketTest, GracefulCloseDeliversReplyAndEndOfStreamToAClientStillSending) {
  JServerSocket server(0);
  ASSERT_EQ(server.listen(1), 1);
  TcpClient client;
  ASSERT_TRUE(client.connect(server.getLocalPort()));
  JSocket connection;
  ASSERT_EQ(server.accept(connection), 1);
  ASSERT_TRUE(client.send("GET / HTTP/1.0\r\n"));
  char buffer[64];
  ASSERT_GT(::recv(connection.handle(), buffer, sizeof buffer, 0), 0);
  ASSERT_EQ(::send(connection.handle(), "5,x", 3, MSG_NOSIGNAL), 3);
  std::thread closer([&] { connection.closeGracefully(); });
  // The client goes on sending headers after the server is done.
  bool sendsOk = true;
  for (int i = 0; i < 10; ++i) sendsOk = client.send("Header: value\r\n") && sendsOk;
  sendsOk = client.send("\r\n") && sendsOk;
  EXPECT_EQ(client.readAll(3000), "5,x");
  EXPECT_TRUE(client.eof());
  EXPECT_FALSE(client.reset());
  EXPECT_TRUE(sendsOk);
  client.close();
  closer.join();
}

TEST(SocketTest, TheNextListenersSocketIsBoundAheadWithoutOpeningThePortAndEndsWithItsThread) {
  {
    JServerSocket warmUp(0);  // starts the host's closer thread
    ASSERT_EQ(warmUp.listen(1), 1);
  }
  const qeno::test::ProcessCounts baseline = qeno::test::settledCounts();
  std::thread worker([&] {
    JServerSocket first(0);
    ASSERT_EQ(first.listen(1), 1);
    const int port = first.getLocalPort();
    for (int round = 0; round < 2; ++round) {
      TcpClient client;
      ASSERT_TRUE(client.connect(port));
      JSocket served;
      ASSERT_EQ(first.accept(served), 1);
      first.close();
      first = JServerSocket(port);
      ASSERT_EQ(first.listen(1), 1);  // the second round's takes the bound socket
      ASSERT_EQ(::send(served.handle(), "5,x", 3, MSG_NOSIGNAL), 3);
      served.closeGracefullyAndBindNextListener(first);
      EXPECT_EQ(client.readAll(3000), "5,x");
      EXPECT_TRUE(client.eof());
    }
    first.close();
    // Once the served connections are gone, one socket is left: bound for
    // the next listen, and no client gets in through it.
    qeno::test::ProcessCounts now;
    EXPECT_TRUE(waitUntil([&] {
      now = qeno::test::processCounts();
      return now.descriptors == baseline.descriptors + 1;
    })) << qeno::test::describe(now);
    TcpClient late;
    EXPECT_FALSE(late.tryConnect(port));
  });
  worker.join();
  qeno::test::ProcessCounts now;
  EXPECT_TRUE(qeno::test::countsReturnTo(baseline, now, "self"))
      << qeno::test::describe(baseline) << " before, " << qeno::test::describe(now) << " after";
}

TEST(ThreadTest, RunsWaitsAndSurvivesAssignmentWhileRunning) {
  struct Task : JObject {
    std::atomic<int> runs{0};
    std::atomic<bool> release{false};
    std::atomic<int> finished{0};
    void run() override {
      ++runs;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ++finished;
    }
  } task;
  JThread thread;
  thread = JThread(&task);
  thread.start();
  ASSERT_TRUE(waitUntil([&] { return task.runs == 1; }));
  EXPECT_TRUE(thread.isRunning());
  thread = JThread();  // over a running thread: it runs on, nothing ends
  task.release = true;
  // The detached thread must be done with task before task goes away.
  ASSERT_TRUE(waitUntil([&] { return task.finished == 1; }));

  Task second;
  second.release = true;
  JThread other(&second);
  other.start();
  other.waitFor();
  EXPECT_EQ(second.runs, 1);
  EXPECT_FALSE(other.isRunning());
}

TEST(GraphTest, BroadcastReachesLinkedInputsThroughAccessAndGetOutput) {
  JGraph graph;
  auto& source = static_cast<JIntegerSource&>(graph.add(std::make_unique<JIntegerSource>()));
  struct Collector : JAddObj {
    Collector() { inputCount = 1; }
    std::atomic<int> last{0};
    void inputChanged(int /*n*/, JLinkObj& link) override {
      int value = 0;
      link.access(JIntegerData(value));
      last = value;
    }
  };
  auto& first = static_cast<Collector&>(graph.add(std::make_unique<Collector>()));
  auto& second = static_cast<Collector&>(graph.add(std::make_unique<Collector>()));
  graph.link(source, 0, first, 0);
  graph.link(source, 0, second, 0);
  source.setValue(42);
  EXPECT_EQ(first.last, 42);
  EXPECT_EQ(second.last, 42);
  // From another thread too.
  std::thread([&] { source.setValue(-7); }).join();
  EXPECT_EQ(first.last, -7);

  // An input takes one link; types must agree.
  EXPECT_THROW(graph.link(source, 0, first, 0), std::invalid_argument);
  auto& sink = graph.add(std::make_unique<JTextSink>());
  EXPECT_THROW(graph.link(source, 0, sink, 0), std::invalid_argument);
  EXPECT_THROW(graph.link(source, 1, second, 0), std::invalid_argument);
}

TEST(GraphTest, RepaintsFromAWorkerAreQueuedForTheHostThread) {
  JGraph graph;
  auto& source = graph.add(std::make_unique<JIntegerSource>());
  std::atomic<int> painted{0};
  std::thread::id paintingThread;
  graph.setRepaintHandler([&](JModuleObj&) {
    ++painted;
    paintingThread = std::this_thread::get_id();
  });
  std::thread([&] {
    source.repaint();
    source.repaint();
  }).join();
  EXPECT_EQ(painted, 0);
  ASSERT_TRUE(graph.waitForEvents(1000));
  graph.processEvents();
  EXPECT_EQ(painted, 1);  // coalesced
  EXPECT_EQ(paintingThread, std::this_thread::get_id());
}

TEST(RegistryTest, CreatesByCloningAndRefusesDuplicates) {
  registerHostModules();
  std::unique_ptr<JObject> made = JRegistry::instance().create("IntegerSource");
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->className(), "IntegerSource");
  EXPECT_EQ(JRegistry::instance().add(JIntegerSource()), nullptr);
  EXPECT_EQ(JRegistry::instance().create("NoSuchClass"), nullptr);
}

TEST(PersistTest, StreamsKeepOrderAndDictionariesFindByKey) {
  JOutputStream stream;
  JString text("hello");
  JObject::putInteger(stream, "b", 2);
  JObject::putObject(stream, "a", text);
  ASSERT_EQ(stream.entries().size(), 2U);
  EXPECT_EQ(stream.entries()[0].key, "b");
  JDictionary dictionary(stream.entries());
  EXPECT_EQ(JObject::getInteger(dictionary, "b", 0), 2);
  EXPECT_EQ(JObject::getInteger(dictionary, "missing", 9), 9);
  auto* stored = dynamic_cast<JString*>(JObject::getObject(dictionary, "a"));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->str(), "hello");
  EXPECT_EQ(JObject::getObject(dictionary, "b"), nullptr);
}

TEST(GraphTest, AnInputThatThrowsIsToldAndTheOthersStillGetTheValue) {
  JGraph graph;
  auto& source = static_cast<JIntegerSource&>(graph.add(std::make_unique<JIntegerSource>()));
  struct Thrower : JAddObj {
    Thrower() { inputCount = 1; }
    void inputChanged(int /*n*/, JLinkObj& /*link*/) override { throw new JException("bad"); }
  };
  auto& thrower = graph.add(std::make_unique<Thrower>());
  auto& after = static_cast<JIntegerSink&>(graph.add(std::make_unique<JIntegerSink>()));
  JLinkObj& link = graph.link(source, 0, thrower, 0);
  graph.link(source, 0, after, 0);
  testing::internal::CaptureStderr();
  source.setValue(1);  // the throw stays with the host
  const std::string told = testing::internal::GetCapturedStderr();
  EXPECT_EQ(after.lastValue(), 1);
  EXPECT_NE(told.find("box 1 (JAddObj, "), std::string::npos) << told;
  EXPECT_NE(told.find(" threw in inputChanged: bad\n"), std::string::npos) << told;
  const auto fault = ModuleGuard::faultOf(&thrower);
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->message, "bad");
  graph.unlink(link);  // returns: no delivery is left in flight
  EXPECT_EQ(graph.links().size(), 1U);
  graph.remove(thrower);
  EXPECT_FALSE(ModuleGuard::faultOf(&thrower).has_value());
}

TEST(SocketTest, AListenerThatAllowsPortSharingStillMakesThePortInUse) {
  // A socket of another program that, like the host's, allows port reuse:
  // the kernel would let both listen, so the host must refuse by itself.
  for (int family : {AF_INET, AF_INET6}) {
    int other = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(other, 0);
    int on = 1;
    ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_any;
      length = sizeof *v6;
    }
    if (::bind(other, reinterpret_cast<sockaddr*>(&address), length) != 0) {
      ::close(other);
      continue;  // no IPv6 here
    }
    ASSERT_EQ(::listen(other, 1), 0);
    socklen_t bound = sizeof address;
    ::getsockname(other, reinterpret_cast<sockaddr*>(&address), &bound);
    const int port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    JServerSocket server(port);
    EXPECT_EQ(server.listen(1), 0) << "family " << family;
    EXPECT_EQ(server.lastError(), "Address already in use");
    ::close(other);
    JServerSocket again(port);
    EXPECT_EQ(again.listen(1), 1) << "the port is free once the other listener is gone";
  }
}

TEST(SocketTest, APortSharerThatArrivesAfterAServerStoppedIsFoundAtTheNextStart) {
  // A server's run: listen, serve a client, listen again and let the client
  // go; the client does not hang up, so its connection outlives the run.
  JServerSocket first(0);
  ASSERT_EQ(first.listen(1), 1);
  const int port = first.getLocalPort();
  TcpClient client;
  ASSERT_TRUE(client.connect(port));
  JSocket served;
  ASSERT_EQ(first.accept(served), 1);
  first.close();
  JServerSocket again(port);
  ASSERT_EQ(again.listen(1), 1);
  ASSERT_EQ(::send(served.handle(), "5,x", 3, MSG_NOSIGNAL), 3);
  served.closeGracefullyAndBindNextListener(again);
  EXPECT_EQ(client.readAll(3000), "5,x");
  EXPECT_TRUE(client.eof());
  again.close();  // the run ends

  const int other = qeno::test::portSharingListener(port);
  ASSERT_GE(other, 0);
  JServerSocket next(port);
  EXPECT_EQ(next.listen(1), 0);
  EXPECT_EQ(next.lastError(), "Address already in use");
  ::close(other);
  JServerSocket free(port);
  EXPECT_EQ(free.listen(1), 1);
}

TEST(GraphicsTest, DrawnTextFitsItsRectShrunkThenShortenedAndShowsUtf8AsCharacters) {
  JImage image(400, 100);
  JGraphics g = image.graphics();
  auto inside = [](const JRect& ink, const JRect& rect) {
    return ink.width > 0 && ink.x >= rect.x && ink.x + ink.width <= rect.x + rect.width;
  };
  // Shrunk to fit: every character stays.
  const JRect box(10, 10, 64, 14);
  g.drawText("x2 = 2147483647", box);
  // Too long for the smallest legible size: shortened, with an ellipsis.
  const JRect narrow(100, 10, 40, 14);
  g.drawText("a text far too long to fit in forty pixels", narrow);
  // UTF-8 as characters; control bytes and broken sequences as '?'.
  const JRect wide(150, 10, 240, 30);
  g.drawText("caf\xc3\xa9 \xe2\x82\xac\x01\xff\xc3", wide);
  g.drawText("wide", JRect(0, 50, 1, 20));  // not even the ellipsis fits

  const std::vector<JDrawnText>& texts = image.texts();
  ASSERT_EQ(texts.size(), 3U);
  EXPECT_EQ(texts[0].text, "x2 = 2147483647");
  EXPECT_TRUE(inside(texts[0].ink, box)) << texts[0].ink.x << "+" << texts[0].ink.width;
  EXPECT_EQ(texts[1].text.rfind("a text", 0), 0U) << texts[1].text;
  EXPECT_EQ(texts[1].text.substr(texts[1].text.size() - 3), "\u2026");
  EXPECT_TRUE(inside(texts[1].ink, narrow)) << texts[1].ink.x << "+" << texts[1].ink.width;
  EXPECT_EQ(texts[2].text, "caf\xc3\xa9 \xe2\x82\xac???");
  EXPECT_TRUE(inside(texts[2].ink, wide));
}
