// The real qeno-host process, driven as a user would drive it.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "HostProcess.h"
#include "JSocket.h"
#include "TestSupport.h"

using qeno::test::HostProcess;
using qeno::test::TcpClient;

namespace {

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.dir().empty());
    port_ = qeno::test::freePortBetween(2000, 9999);
    ASSERT_NE(port_, 0);
  }

  std::string path(const std::string& name) const { return folder_.path(name); }

  // Sends one request and returns the whole reply.
  std::string request(const std::string& text) const {
    return qeno::test::requestReply(port_, text);
  }

  qeno::test::TempFolder folder_{"qeno-app-"};
  int port_ = 0;
};

}  // namespace

TEST_F(AppTest, ServesChangesReplySavesRestartsAndStopsOnSigint) {
  const std::string saved = path("graph.json");
  {
    HostProcess host;
    ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--port", std::to_string(port_), "--reply", "42",
                                            "--quiet", "--save", saved}));
    ASSERT_TRUE(host.waitForOutput("listening on 127.0.0.1 port " + std::to_string(port_)))
        << host.error();
    EXPECT_EQ(request("hi\r\n"), "42,x");
    EXPECT_TRUE(host.waitForOutput("received (port " + std::to_string(port_) + "): hi\\r\\n"));

    host.writeLine("reply -7");
    host.writeLine("set url /changed");
    // The server listens again once the last connection has wound down.
    ASSERT_TRUE(qeno::test::waitUntil([&] {
      host.writeLine("status");
      return host.waitForOutput("server state 1 (listening), connected flag 1 (green)", 200);
    }));
    EXPECT_EQ(request("again\n\n"), "-7,x");

    host.signal(SIGINT);
    EXPECT_EQ(host.wait(), 0) << host.error();
    EXPECT_TRUE(host.output().find("saved the graph to " + saved) != std::string::npos);
  }
  ASSERT_TRUE(std::filesystem::exists(saved));

  HostProcess again;
  ASSERT_TRUE(again.start(QENO_HOST_PATH, {"--graph", saved, "--quiet"}));
  ASSERT_TRUE(again.waitForOutput("listening on 127.0.0.1 port " + std::to_string(port_)))
      << again.error();
  EXPECT_EQ(request("back\r\n"), "-7,x");
  again.writeLine("props");
  EXPECT_TRUE(again.waitForOutput("/changed"));
  // End of input does not stop a server started from the command line.
  again.closeInput();
  EXPECT_EQ(request("still\r\n"), "-7,x");
  again.signal(SIGTERM);
  EXPECT_EQ(again.wait(), 0) << again.error();
}

TEST_F(AppTest, BadCommandsGetOneLineAndThePromptGoesOn) {
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--port", std::to_string(port_), "--quiet"}));
  ASSERT_TRUE(host.waitForOutput("listening on"));
  host.writeLine("frobnicate \x1b[2J");
  ASSERT_TRUE(host.waitForError("unknown command 'frobnicate'; type help"));
  host.writeLine("set port 70000");
  ASSERT_TRUE(host.waitForError("property 'port' must be from 80 to 10000, not 70000"));
  host.writeLine("set key1offset abc");
  ASSERT_TRUE(host.waitForError("property 'key1offset' takes a whole number from -50 to 50"));
  host.writeLine("reply x");
  ASSERT_TRUE(host.waitForError("reply takes a whole number"));
  host.writeLine("reply 3");
  // The line is taken on the host's own time: wait for it, not for a client.
  EXPECT_TRUE(qeno::test::waitUntil([&] { return request("ok\r\n") == "3,x"; }));
  EXPECT_EQ(host.error().find('\x1b'), std::string::npos);  // nothing reaches the terminal raw
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0);
}

TEST_F(AppTest, UserMistakesEndWithOneLineAndANonZeroStatus) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string malformed = path("bad.json");
  std::ofstream(malformed) << "{ not json";
  const std::vector<Case> cases = {
      {{"--bogus"}, "--bogus"},
      {{"--port", "79"}, "property 'port' must be from 80 to 10000, not 79"},
      {{"--set", "key2offset=51"}, "property 'key2offset' must be from -50 to 50, not 51"},
      {{"--set", "nothing"}, "--set takes NAME=VALUE"},
      {{"--graph", malformed}, malformed},
      {{"--graph", path("missing.json")}, "missing.json"},
      {{"--bind", "not-an-address"}, "not-an-address"},
      {{"--module", path("nothing.so")}, "cannot load module library"},
      {{"--client-timeout", "-1"}, "-1 is not from 0 to 86400 seconds"},
      // Checked before anything listens, not only when the file is written.
      {{"--save", path("missing/graph.json")}, path("missing/graph.json") + ": cannot write"},
      {{"--render", path("missing/box.png")}, "cannot write " + path("missing/box.png")},
  };
  for (const Case& c : cases) {
    HostProcess host;
    std::vector<std::string> args = c.args;
    args.push_back("--quiet");
    ASSERT_TRUE(host.start(QENO_HOST_PATH, args));
    const int status = host.wait();
    EXPECT_NE(status, 0) << c.args[0];
    EXPECT_LT(status, 128) << c.args[0] << " crashed: " << host.error();
    const std::string error = host.error();
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;  // one line
    EXPECT_EQ(host.output().find("listening"), std::string::npos) << host.output();
  }
  HostProcess help;
  ASSERT_TRUE(help.start(QENO_HOST_PATH, {"--help"}));
  EXPECT_EQ(help.wait(), 0);
  EXPECT_NE(help.output().find("--client-timeout SECONDS"), std::string::npos) << help.output();
  EXPECT_EQ(help.output().find("FLOAT"), std::string::npos) << help.output();
}

TEST_F(AppTest, EveryChangeIsSavedWithinASecondAndAHangUpStopsAndSaves) {
  const std::string saved = path("graph.json");
  auto savedText = [&] {
    std::ifstream in(saved);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--port", std::to_string(port_), "--quiet", "--save",
                                          saved, "--set", "key1=\xc3\xa9\x01"}));
  ASSERT_TRUE(host.waitForOutput("server 0: listening on 127.0.0.1 port " + std::to_string(port_)))
      << host.error();
  // Valid UTF-8 shows as itself, control bytes escaped.
  host.writeLine("props");
  EXPECT_TRUE(host.waitForOutput("key1                \xc3\xa9\\x01\n")) << host.output();
  EXPECT_EQ(request("\xc3\xa9\xff\r\n"), "0,x");
  EXPECT_TRUE(host.waitForOutput("): \xc3\xa9\\xff\\r\\n\n")) << host.output();

  // Saved while running: a crash now would keep the change.
  host.writeLine("reply 77");
  EXPECT_TRUE(qeno::test::waitUntil([&] {
    return savedText().find("\"value\": 77") != std::string::npos;
  })) << savedText();
  host.writeLine("set url /later");
  EXPECT_TRUE(qeno::test::waitUntil(
      [&] { return savedText().find("\"url\": \"/later\"") != std::string::npos; }));

  host.signal(SIGHUP);
  EXPECT_EQ(host.wait(), 0) << host.error();
  EXPECT_NE(host.output().find("saved the graph to " + saved), std::string::npos);
}

TEST_F(AppTest, AServerThatStartsNothingSaysWhyAndLostFilesAreToldOnceOrSavedElsewhere) {
  const int other = qeno::test::freePortBetween(2000, 9999);
  const std::string graph = path("idle.json");
  std::ofstream(graph) << R"({"format": "qeno-graph", "version": 1, "modules": [
      {"class": "QenoServer", "content": {"port": )"
                       << port_ << R"(}},
      {"class": "QenoServer", "content": {"port": )"
                       << other << R"(}},
      {"class": "IntegerSource", "content": {"value": 0}}],
    "links": [{"from": {"module": 2, "output": 0}, "to": {"module": 1, "input": 0}}]})";
  std::filesystem::create_directories(path("gone"));
  HostProcess host;
  ::setenv("TMPDIR", folder_.dir().c_str(), 1);
  const std::string picture = path("gone/box.png");
  const bool started = host.start(QENO_HOST_PATH, {"--graph", graph, "--quiet", "--save",
                                                   path("gone/graph.json"), "--render", picture});
  ::unsetenv("TMPDIR");
  ASSERT_TRUE(started);
  EXPECT_TRUE(host.waitForOutput("server 0: idle on 127.0.0.1 port " + std::to_string(port_) +
                                 ": readInput is not linked\n"))
      << host.output() << host.error();
  EXPECT_TRUE(host.waitForOutput("server 1: idle on 127.0.0.1 port " + std::to_string(other) +
                                 ": readInput is 0\n"));

  // The folder of the save and the picture goes away while the application
  // runs: each repaint fails, and that is told once.
  // A save or render may be writing there at that moment: remove until gone.
  ASSERT_TRUE(qeno::test::waitUntil([&] {
    std::error_code error;
    std::filesystem::remove_all(path("gone"), error);
    return !error && !std::filesystem::exists(path("gone"));
  }));
  auto count = [](const std::string& text, const std::string& part) {
    int found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++found;
    }
    return found;
  };
  for (int edit = 1; edit <= 4; ++edit) {
    if (edit < 4) host.writeLine("set url /" + std::to_string(edit));
    host.writeLine("status");  // after the repaint that the previous edit asked for
    ASSERT_TRUE(
        qeno::test::waitUntil([&] { return count(host.output(), "server state") == edit; }));
  }
  EXPECT_EQ(count(host.error(), "cannot write " + picture), 1) << host.error();
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(), 1);
  const std::string kept = path("qeno-graph-" + std::to_string(host.pid()) + ".json");
  EXPECT_NE(host.error().find("saved the graph to " + kept + " instead"), std::string::npos)
      << host.error();
  std::ifstream in(kept);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find("\"port\": " + std::to_string(other)), std::string::npos) << text;
}

TEST_F(AppTest, APortInUseIsToldWithTheReason) {
  JServerSocket taken(port_);
  ASSERT_EQ(taken.listen(1), 1);
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--port", std::to_string(port_), "--quiet"}));
  EXPECT_EQ(host.wait(), 1);
  EXPECT_NE(host.error().find("cannot listen on port " + std::to_string(port_) +
                              ": Address already in use"),
            std::string::npos)
      << host.error();
}

TEST_F(AppTest, WithoutSocketDiagnosticsPortsListenUnsharedAndAPortInUseIsStillRefused) {
  const std::string port = std::to_string(port_);
  const int other = qeno::test::portSharingListener(port_);
  ASSERT_GE(other, 0);
  {
    HostProcess host;
    ASSERT_TRUE(host.start(QENO_DENY_SOCK_DIAG_PATH, {QENO_HOST_PATH, "--port", port, "--quiet"}));
    EXPECT_EQ(host.wait(), 1);
    EXPECT_NE(host.error().find("cannot listen on port " + port + ": Address already in use"),
              std::string::npos)
        << host.error();
  }
  ::close(other);

  HostProcess host;
  ASSERT_TRUE(
      host.start(QENO_DENY_SOCK_DIAG_PATH, {QENO_HOST_PATH, "--port", port, "--reply", "5"}));
  ASSERT_TRUE(host.waitForOutput("listening on 127.0.0.1 port " + port)) << host.error();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(request("hi\r\n"), "5,x") << i;
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(), 0) << host.error();
  const std::string debug = host.error();
  const std::string told = "cannot check for other listeners (socket diagnostics: ";
  const std::size_t first = debug.find(told);
  EXPECT_NE(first, std::string::npos) << debug;
  EXPECT_EQ(debug.find(told, first + 1), std::string::npos) << "told more than once";
}

TEST_F(AppTest, PropertiesArePrintedAsATable) {
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--properties", "--host-name", "box.test"}));
  EXPECT_EQ(host.wait(), 0);
  EXPECT_TRUE(host.waitForOutput("hostName/IPaddress  box.test"));
  EXPECT_NE(host.output().find("port                8080        80..10000"), std::string::npos)
      << host.output();
  EXPECT_NE(host.output().find("key8offset          0           -50..50"), std::string::npos);
}

TEST_F(AppTest, AnEchoGraphAnswersWithTheClientsNumberAndPrintsIt) {
  const std::string graph = path("echo.json");
  std::ofstream(graph) << R"({"format": "qeno-graph", "version": 1, "modules": [
    {"class": "QenoServer", "content": {"port": )"
                       << port_ << R"(, "key1": "n="}},
    {"class": "IntegerSource", "content": {"value": 1}},
    {"class": "IntegerSink", "content": {}}],
  "links": [
    {"from": {"module": 1, "output": 0}, "to": {"module": 0, "input": 0}},
    {"from": {"module": 0, "output": 0}, "to": {"module": 0, "input": 1}},
    {"from": {"module": 0, "output": 0}, "to": {"module": 2, "input": 0}}]})";
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--graph", graph, "--quiet"}));
  ASSERT_TRUE(host.waitForOutput("listening on")) << host.error();
  EXPECT_EQ(request("GET /?n=41 HTTP/1.0\r\n\r\n"), "41,x");
  EXPECT_TRUE(host.waitForOutput("int_1 (port " + std::to_string(port_) + "): 41"));
  EXPECT_EQ(request("GET / HTTP/1.0\r\n\r\n"), "41,x");
  host.writeLine("outputs");
  EXPECT_TRUE(host.waitForOutput("int_1     41\n"));
  EXPECT_TRUE(host.waitForOutput("xml_10    GET / HTTP/1.0\\r\\n\\r\\n\n")) << host.output();
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
}

TEST_F(AppTest, TheConsoleBuildsTheEchoGraphFromNothingAndUndoes) {
  const std::string empty = path("empty.json");
  // As a person writes it by hand.
  std::ofstream(empty) << R"({"modules": [], "links": []})";
  {
    // Without the page there is nothing to run.
    HostProcess host;
    ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--graph", empty, "--quiet"}));
    EXPECT_EQ(host.wait(), 1);
  }
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--graph", empty, "--quiet", "--ui", "0"}));
  ASSERT_TRUE(host.waitForOutput("editor page: ")) << host.error();
  host.writeLine("help");
  ASSERT_TRUE(host.waitForOutput("  unlink N.OUT M.IN"));
  host.writeLine("add QenoServer 160 40");
  ASSERT_TRUE(host.waitForOutput("added box 0 (QenoServer)"));
  host.writeLine("add IntegerSource 180 -40");
  ASSERT_TRUE(host.waitForOutput("added box 1 (IntegerSource)"));
  host.writeLine("set port " + std::to_string(port_));
  host.writeLine("set key1 n=");
  host.writeLine("link 1.0 0.readInput");
  host.writeLine("link 0.int_1 0.1");
  host.writeLine("link 0.xml_10 0.readInput");
  ASSERT_TRUE(host.waitForError(
      "xml_10 (QenoServer box 0) carries text; readInput (QenoServer box 0) takes an integer"));
  host.writeLine("enable 1");
  EXPECT_EQ(request("n=41\r\n"), "41,x");

  // The source goes with its link: enable then hands readInput the value
  // itself. Undo brings both back, and enable sets the source again.
  host.writeLine("remove 1");
  host.writeLine("stop");
  host.writeLine("enable 1");
  ASSERT_TRUE(qeno::test::waitUntil([&] { return request("n=5\r\n") == "5,x"; }));
  host.writeLine("undo");
  host.writeLine("enable 1");
  // The last client's connection may still be closing: status says so.
  ASSERT_TRUE(qeno::test::waitUntil([&] {
    host.writeLine("status");
    return host.waitForOutput(
        "box 0 (QenoServer): listening on 127.0.0.1:" + std::to_string(port_) + "\n", 200);
  })) << host.output();
  EXPECT_EQ(host.error().find("no source"), std::string::npos) << host.error();
  EXPECT_EQ(request("n=7\r\n"), "7,x");
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
}

TEST_F(AppTest, AServerStartedThroughTheGraphShowsItsOwnState) {
  // Server 0's int_1 feeds server 1's readInput: a request n=1 to 0 starts 1.
  int second = 0;
  do {
    second = qeno::test::freePortBetween(2000, 9999);
  } while (second == port_);
  const std::string graph = path("chain.json");
  std::ofstream(graph)
      << R"({"format": "qeno-graph", "version": 1, "modules": [)"
      << R"({"class": "QenoServer", "content": {"port": )" << port_
      << R"(, "key1": "n="}}, {"class": "QenoServer", "content": {"port": )" << second
      << R"(}}, {"class": "IntegerSource", "content": {"value": 1}}],)"
      << R"("links": [{"from": {"module": 2, "output": 0}, "to": {"module": 0, "input": 0}},)"
      << R"({"from": {"module": 0, "output": 0}, "to": {"module": 1, "input": 0}}]})";
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--graph", graph, "--quiet"}));
  ASSERT_TRUE(host.waitForOutput("server 1: idle")) << host.error();
  EXPECT_EQ(request("n=1\r\n"), "0,x");
  TcpClient client;
  ASSERT_TRUE(client.connect(second));
  host.writeLine("server 1");
  ASSERT_TRUE(qeno::test::waitUntil([&] {
    host.writeLine("status");
    return host.waitForOutput("server state 2 (connected), connected flag 1 (green), port " +
                                  std::to_string(second) + ", serving on " + std::to_string(second),
                              200);
  }));
  client.send("hi\r\n");
  EXPECT_EQ(client.readAll(), "0,x");
  host.writeLine("stop");
  ASSERT_TRUE(qeno::test::waitUntil([&] {
    host.writeLine("status");
    return host.waitForOutput("server state 0 (idle)", 200);
  }));
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
}

TEST_F(AppTest, PropsAndSetReachAnyBoxByItsNumberAndTellABoxsReason) {
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--port", std::to_string(port_), "--quiet"}));
  ASSERT_TRUE(host.waitForOutput("listening on")) << host.error();
  // Box 2 is the source on sendOutput: its new value is the reply.
  host.writeLine("set 2 value 5");
  host.writeLine("props 2");
  ASSERT_TRUE(host.waitForOutput("value               5 "));
  EXPECT_EQ(request("hi\r\n"), "5,x");
  // Without a number, set and props go on acting on the server.
  host.writeLine("set  key1 n=");
  host.writeLine("props");
  ASSERT_TRUE(host.waitForOutput("key1                n=\n"));

  host.writeLine("add Arithmetic 400 40");
  ASSERT_TRUE(host.waitForOutput("added box 4 (Arithmetic)"));
  host.writeLine("set 4 operation nothing");
  ASSERT_TRUE(host.waitForError(
      "Arithmetic did not take property 'operation': operation must be one of add, subtract,"));
  host.writeLine("set 9 value 1");
  ASSERT_TRUE(host.waitForError("there is no box 9"));
  host.writeLine("props 9");
  ASSERT_TRUE(host.waitForError("there is no box 9\n"));
  host.writeLine("server 2");
  ASSERT_TRUE(host.waitForError("server takes a server's number, from 0 to 0; props and set take"));
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
}
