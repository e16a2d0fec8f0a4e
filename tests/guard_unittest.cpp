// Faulty module code run through the real qeno-host: a throw anywhere is
// told in one line naming the box and the rest of the graph keeps serving; a
// crash is told before the process ends, and recorded beside the saved graph
// so that the next start holds the box until it is released; a call that
// does not return is told while it lasts; a library whose initialiser
// throws is refused; --safe opens a graph that crashes at start.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "HostProcess.h"
#include "TestSupport.h"

using qeno::test::HostProcess;
using qeno::test::TcpClient;

namespace {

const std::string kFaultyLibrary = std::string(QENO_FAULTY_FOLDER) + "/libqeno_test_faulty.so";

std::size_t countOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.dir().empty());
    port_ = qeno::test::freePortBetween(2000, 9999);
    ASSERT_NE(port_, 0);
  }

  std::string path(const std::string& name) const { return folder_.path(name); }

  // Boxes: 0 the server (key1 "n="), 1 its enable source, 2 its reply
  // source, then the Faulty boxes given as {fault, how}; each is fed by the
  // output named in feeds ("int_1" of the server, or the reply source).
  struct FaultyBox {
    std::string fault;
    std::string how;
    bool fromServer;  // int_1 of the server, else the reply source
  };
  std::string writeGraph(const std::vector<FaultyBox>& faulty, int enable = 1) {
    std::ostringstream json;
    json << R"({"format": "qeno-graph", "version": 1, "modules": [)"
         << R"({"class": "QenoServer", "content": {"port": )" << port_ << R"(, "key1": "n="}},)"
         << R"({"class": "IntegerSource", "content": {"value": )" << enable << "}},"
         << R"({"class": "IntegerSource", "content": {"value": 5}})";
    for (const FaultyBox& box : faulty) {
      json << R"(, {"class": "Faulty", "content": {"fault": ")" << box.fault << R"(", "how": ")"
           << box.how << R"("}})";
    }
    json << R"(], "links": [)"
         << R"({"from": {"module": 1, "output": 0}, "to": {"module": 0, "input": 0}},)"
         << R"({"from": {"module": 2, "output": 0}, "to": {"module": 0, "input": 1}})";
    for (std::size_t i = 0; i < faulty.size(); ++i) {
      json << R"(, {"from": {"module": )" << (faulty[i].fromServer ? 0 : 2)
           << R"(, "output": 0}, "to": {"module": )" << 3 + i << R"(, "input": 0}})";
    }
    json << "]}";
    const std::string file = path("graph.json");
    std::ofstream(file) << json.str();
    return file;
  }

  bool startHost(HostProcess& host, const std::string& graph, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--graph", graph, "--module-path", QENO_FAULTY_FOLDER,
                                     "--quiet"};
    args.insert(args.end(), more.begin(), more.end());
    return host.start(QENO_HOST_PATH, args);
  }

  std::string request(const std::string& text) const {
    return qeno::test::requestReply(port_, text);
  }

  static std::string contentOf(const std::string& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  qeno::test::TempFolder folder_{"qeno-guard-"};
  int port_ = 0;
};

}  // namespace

TEST_F(GuardTest, ThrowsOnEitherThreadAreToldOnceEachAndTheServerGoesOnAnswering) {
  for (const char* how : {"std", "host", "int"}) {
    SCOPED_TRACE(how);
    // Box 3 takes int_1 on the worker's thread, box 4 the reply source's
    // value on the host thread, at start and on `reply`.
    const std::string graph =
        writeGraph({{"inputChanged", how, true}, {"inputChanged", how, false}});
    HostProcess host;
    ASSERT_TRUE(startHost(host, graph));
    ASSERT_TRUE(host.waitForOutput("server 0: listening")) << host.error();
    const std::string message =
        std::string(how) == "int" ? "an exception of unknown type" : "faulty inputChanged";
    const std::string hostThread = "box 4 (Faulty, " + kFaultyLibrary + ") threw in inputChanged";
    ASSERT_TRUE(host.waitForError(hostThread + ": " + message + "\n")) << host.error();

    EXPECT_EQ(request("n=3\r\n"), "5,x");
    const std::string worker = "box 3 (Faulty, " + kFaultyLibrary + ") threw in inputChanged";
    ASSERT_TRUE(host.waitForError(worker + ": " + message + "\n")) << host.error();
    EXPECT_EQ(countOf(host.error(), worker), 1U);

    host.writeLine("reply 9");
    ASSERT_TRUE(qeno::test::waitUntil([&] { return countOf(host.error(), hostThread) == 2; }));
    EXPECT_EQ(request("n=4\r\n"), "9,x");
    host.writeLine("status");
    EXPECT_TRUE(host.waitForOutput(worker.substr(0, worker.find(" threw")) +
                                   " faulted in inputChanged: " + message));
    host.writeLine("quit");
    EXPECT_EQ(host.wait(), 0) << host.error();
  }
}

TEST_F(GuardTest, AThrowInReadContentEndsTheLoadWithOneLineNamingFileAndBox) {
  const std::string graph = writeGraph({{"readContent", "host", false}});
  HostProcess host;
  ASSERT_TRUE(startHost(host, graph));
  EXPECT_EQ(host.wait(), 1);
  EXPECT_EQ(host.error(), "qeno-host: " + graph +
                              ": module 3 (Faulty): cannot take its content: faulty readContent\n");
}

TEST_F(GuardTest, AThrowInPaintShowsOnThePageAndACrashThereIsTold) {
  const std::string label = "box 3 (Faulty, " + kFaultyLibrary + ")";
  {
    // The page draws every box as it starts.
    HostProcess host;
    ASSERT_TRUE(startHost(host, writeGraph({{"paint", "crash", false}}, 0), {"--ui", "0"}));
    EXPECT_EQ(host.wait(), 128 + SIGSEGV);
    EXPECT_NE(host.error().find(label + " crashed in paint (SIGSEGV); the host ends\n"),
              std::string::npos)
        << host.error();
  }
  HostProcess host;
  ASSERT_TRUE(startHost(host, writeGraph({{"paint", "std", false}}, 0), {"--ui", "0"}));
  ASSERT_TRUE(host.waitForOutput("/?token=")) << host.error();
  const std::string out = host.output();
  const int uiPort = std::stoi(out.substr(out.find("http://127.0.0.1:") + 17));
  const std::size_t token = out.find("?token=") + 7;
  const std::string bearer = out.substr(token, out.find('\n', token) - token);
  TcpClient page;
  ASSERT_TRUE(page.connect(uiPort));
  page.send("GET /api/graph HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(uiPort) +
            "\r\nAuthorization: Bearer " + bearer + "\r\nConnection: close\r\n\r\n");
  const std::string answer = page.readAll();
  EXPECT_NE(answer.find(R"("fault":{"message":"faulty paint","operation":"paint"})"),
            std::string::npos)
      << answer;
  EXPECT_NE(host.error().find(label + " threw in paint: faulty paint\n"), std::string::npos);
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
}

TEST_F(GuardTest, AThrowInASourcesGetOutputIsBlamedOnTheSourceAndThePageGoesOn) {
  // The reply source hands 5 to the Faulty box, which hands it on to the
  // server's sendOutput; the server's read of it runs the Faulty getOutput.
  const std::string graph = path("getoutput.json");
  std::ofstream(graph)
      << R"({"format": "qeno-graph", "version": 1, "modules": [)"
      << R"({"class": "QenoServer", "content": {"port": )" << port_ << "}},"
      << R"({"class": "IntegerSource", "content": {"value": 1}},)"
      << R"({"class": "IntegerSource", "content": {"value": 5}},)"
      << R"({"class": "Faulty", "content": {"fault": "getOutput", "how": "host"}}], "links": [)"
      << R"({"from": {"module": 1, "output": 0}, "to": {"module": 0, "input": 0}},)"
      << R"({"from": {"module": 2, "output": 0}, "to": {"module": 3, "input": 0}},)"
      << R"({"from": {"module": 3, "output": 0}, "to": {"module": 0, "input": 1}}]})";
  HostProcess host;
  ASSERT_TRUE(startHost(host, graph, {"--ui", "0"}));
  ASSERT_TRUE(host.waitForOutput("/?token=")) << host.error();
  const std::string told = "box 3 (Faulty, " + kFaultyLibrary + ") threw in getOutput";
  ASSERT_TRUE(host.waitForError(told + ": faulty getOutput\n")) << host.error();
  // The throw passed on through the server's inputChanged, which is not
  // blamed for it, and the server serves on with the reply it could not read.
  EXPECT_EQ(request("hi\r\n"), "0,x");

  const std::string out = host.output();
  const int uiPort = std::stoi(out.substr(out.find("http://127.0.0.1:") + 17));
  const std::size_t token = out.find("?token=") + 7;
  const std::string bearer = out.substr(token, out.find('\n', token) - token);
  auto askGraph = [&] {
    TcpClient page;
    if (!page.connect(uiPort)) return std::string();
    page.send("GET /api/graph HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(uiPort) +
              "\r\nAuthorization: Bearer " + bearer + "\r\nConnection: close\r\n\r\n");
    return page.readAll();
  };
  for (int i = 0; i < 2; ++i) {
    const std::string answer = askGraph();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0U) << answer;
    EXPECT_NE(answer.find(R"("fault":{"message":"faulty getOutput","operation":"getOutput"})"),
              std::string::npos)
        << answer;
  }
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
  // Told once, though the page looked at the box's values since.
  EXPECT_EQ(countOf(host.error(), told), 1U) << host.error();
  EXPECT_EQ(countOf(host.error(), "QenoServer"), 0U) << host.error();
}

TEST_F(GuardTest, ACrashAtStartIsToldAndSafeOpensTheGraphIdle) {
  // The enable source's 1 reaches the crashing box at start.
  std::string graph = writeGraph({{"inputChanged", "crash", false}});
  {
    HostProcess host;
    ASSERT_TRUE(startHost(host, graph));
    EXPECT_EQ(host.wait(), 128 + SIGSEGV);
    EXPECT_NE(host.error().find("box 3 (Faulty, " + kFaultyLibrary +
                                ") crashed in inputChanged (SIGSEGV)"),
              std::string::npos)
        << host.error();
  }
  // Without --save, nothing is recorded.
  for (const auto& entry : std::filesystem::directory_iterator(folder_.dir())) {
    EXPECT_EQ(entry.path().extension(), ".json") << entry.path();
  }
  HostProcess safe;
  ASSERT_TRUE(startHost(safe, graph, {"--safe"}));
  ASSERT_TRUE(safe.waitForOutput("server 0: idle on 127.0.0.1 port " + std::to_string(port_) +
                                 ": --safe delivers no input"))
      << safe.error();
  EXPECT_EQ(request("hi\r\n"), "<refused>");
  safe.writeLine("quit");
  EXPECT_EQ(safe.wait(), 0) << safe.error();
}

TEST_F(GuardTest, TheLastEditBeforeACrashIsSaved) {
  const std::string saved = path("saved.json");
  const std::string graph = writeGraph({{"inputChanged", "crash", false}}, 1);
  // The crashing box takes the reply source, which is 5 from the start: so
  // it starts at 0 here, and `reply 9` makes it crash.
  {
    std::ifstream in(graph);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.replace(text.find(R"("value": 5)"), 10, R"("value": 0)");
    std::ofstream(graph) << text;
  }
  HostProcess host;
  ASSERT_TRUE(startHost(host, graph, {"--save", saved}));
  ASSERT_TRUE(host.waitForOutput("server 0: listening")) << host.error();
  host.writeLine("set key2 edited-before-the-crash");
  ASSERT_TRUE(qeno::test::waitUntil([&] {
    std::ifstream in(saved);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find("edited-before-the-crash") != std::string::npos;
  }));
  host.writeLine("reply 9");
  EXPECT_EQ(host.wait(), 128 + SIGSEGV);
  EXPECT_NE(host.error().find("crashed in inputChanged (SIGSEGV)"), std::string::npos);
  std::ifstream in(saved);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(R"("key2": "edited-before-the-crash")"), std::string::npos) << text;
}

TEST_F(GuardTest, ALibraryWhoseInitialiserThrowsIsRefusedAndTheOthersLoad) {
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--module-path", QENO_BADINIT_FOLDER, "--classes"}));
  EXPECT_EQ(host.wait(), 0) << host.error();
  EXPECT_EQ(host.error(), "qeno-host: cannot load module library " +
                              std::string(QENO_BADINIT_FOLDER) +
                              "/libqeno_test_badinit.so: its initialisation threw: no "
                              "configuration for this box; skipped\n");
  EXPECT_NE(host.output().find("QenoServer"), std::string::npos);
}

TEST_F(GuardTest, ACrashedBoxIsHeldAtTheNextStartUntilReleasedAndTheRestServes) {
  // Box 3 takes int_1 from the worker: any request with n= crashes it.
  const std::string graph = writeGraph({{"inputChanged", "crash", true}});
  const std::string saved = path("saved.json");
  const std::string record = saved + ".crashed";
  const std::string label = "box 3 (Faulty, " + kFaultyLibrary + ")";
  {
    HostProcess host;
    ASSERT_TRUE(startHost(host, graph, {"--save", saved}));
    ASSERT_TRUE(host.waitForOutput("server 0: listening")) << host.error();
    request("n=3\r\n");
    EXPECT_EQ(host.wait(), 128 + SIGSEGV);
    EXPECT_NE(host.error().find("recorded in " + record), std::string::npos) << host.error();
  }
  HostProcess host;
  ASSERT_TRUE(startHost(host, graph, {"--save", saved}));
  ASSERT_TRUE(host.waitForOutput("server 0: listening")) << host.error();
  const std::string held = label + " held: it crashed in inputChanged at ";
  EXPECT_NE(host.error().find("qeno-host: " + held), std::string::npos) << host.error();
  // The same request no longer ends the host: the box gets no input.
  EXPECT_EQ(request("n=3\r\n"), "5,x");
  EXPECT_EQ(request("n=4\r\n"), "5,x");
  host.writeLine("status");
  EXPECT_TRUE(host.waitForOutput(held)) << host.output();
  host.writeLine("release 1");
  EXPECT_TRUE(host.waitForError("box 1 is not held")) << host.error();

  // Released, it runs again, first with the value its input holds now (0
  // here), and is forgotten; so the same request crashes it again, and
  // that is recorded anew.
  EXPECT_EQ(request("n=0\r\n"), "5,x");
  host.writeLine("release 3");
  ASSERT_TRUE(host.waitForOutput("box 3 runs again")) << host.error();
  EXPECT_FALSE(std::filesystem::exists(record));
  request("n=3\r\n");
  EXPECT_EQ(host.wait(), 128 + SIGSEGV);
  EXPECT_NE(contentOf(record).find("3\tFaulty\t" + kFaultyLibrary + "\tinputChanged\t"),
            std::string::npos)
      << contentOf(record);
}

TEST_F(GuardTest, AHeldServerLeavesItsFlagsUnappliedAndTheHostRuns) {
  const std::string graph = writeGraph({});
  const std::string saved = path("saved.json");
  // As a crash in the server's own inputChanged leaves it.
  std::ofstream(saved + ".crashed")
      << "0\tQenoServer\tlibqenoserver.so\tinputChanged\t1\tSIGSEGV\n";
  HostProcess host;
  ASSERT_TRUE(startHost(host, graph, {"--save", saved, "--url", "/other"}));
  ASSERT_TRUE(host.waitForOutput("server 0: held (box 0)")) << host.error();
  EXPECT_NE(host.error().find("qeno-host: server 0 (box 0) is held since it crashed: its flags are "
                              "not applied; release 0, then set them"),
            std::string::npos)
      << host.error();
  host.writeLine("status");
  EXPECT_TRUE(host.waitForOutput("server held (box 0) since it crashed; release 0 runs it again"))
      << host.output();
  host.writeLine("release 0");
  ASSERT_TRUE(host.waitForOutput("box 0 runs again")) << host.error();
  EXPECT_TRUE(qeno::test::waitUntil([&] { return request("n=1\r\n") == "5,x"; }));
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
}

TEST_F(GuardTest, ACrashWhileABoxLoadsIsHeldAndItsSettingsAreSavedAsTheyWere) {
  const std::string graph = writeGraph({{"readContent", "crash", false}});
  const std::string saved = path("saved.json");
  {
    HostProcess host;
    ASSERT_TRUE(startHost(host, graph, {"--save", saved}));
    EXPECT_EQ(host.wait(), 128 + SIGSEGV);
    EXPECT_NE(host.error().find("box 3 (Faulty, " + kFaultyLibrary +
                                ") crashed in readContent (SIGSEGV)"),
              std::string::npos)
        << host.error();
  }
  HostProcess host;
  ASSERT_TRUE(startHost(host, graph, {"--save", saved}));
  ASSERT_TRUE(host.waitForOutput("server 0: listening")) << host.error();
  EXPECT_NE(host.error().find("box 3 (Faulty, " + kFaultyLibrary +
                              ") held: it crashed in readContent at "),
            std::string::npos)
      << host.error();
  EXPECT_EQ(request("n=3\r\n"), "5,x");
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
  EXPECT_NE(contentOf(saved).find(R"("fault": "readContent",)"), std::string::npos)
      << contentOf(saved);
  EXPECT_NE(contentOf(saved).find(R"("class": "Faulty")"), std::string::npos);
}

TEST_F(GuardTest, ACallThatDoesNotReturnIsToldWhileItLastsButNotAServersWaitForItsWorker) {
  // Box 3 works three seconds in inputChanged on the worker's thread.
  HostProcess host;
  ASSERT_TRUE(startHost(host, writeGraph({{"inputChanged", "spin", true}})));
  ASSERT_TRUE(host.waitForOutput("server 0: listening")) << host.error();
  TcpClient client;
  ASSERT_TRUE(client.connect(port_));
  client.send("n=3\r\n");
  const std::string label = "box 3 (Faulty, " + kFaultyLibrary + ")";
  ASSERT_TRUE(host.waitForError(label + " is still in inputChanged after ")) << host.error();
  host.writeLine("status");
  EXPECT_TRUE(host.waitForOutput(label + " is still in inputChanged after ")) << host.output();
  // The box's own line, under it on a page, says so too.
  EXPECT_TRUE(host.waitForOutput("box 3 (Faulty): still in inputChanged after ")) << host.output();
  // The server's stop waits for its worker, which waits for box 3.
  host.writeLine("stop");
  ASSERT_TRUE(host.waitForError(label + " returned from inputChanged after ")) << host.error();
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
  const std::string told = host.error();
  EXPECT_LT(told.find(" is still in "), told.find(" returned from ")) << told;
  EXPECT_EQ(countOf(told, " is still in "), 1U) << told;
  EXPECT_EQ(countOf(told, " returned from "), 1U) << told;
}
