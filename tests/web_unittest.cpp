// The editor page's HTTP side, against a real qeno-host started with --ui.

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "HostProcess.h"
#include "TestSupport.h"

using nlohmann::json;
using qeno::test::HostProcess;
using qeno::test::TcpClient;

namespace {

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.dir().empty());
    serverPort_ = qeno::test::freePortBetween(2000, 9999);
    ASSERT_NE(serverPort_, 0);
    ASSERT_TRUE(host_.start(
        QENO_HOST_PATH, {"--port", std::to_string(serverPort_), "--reply", "42", "--quiet", "--ui",
                         "127.0.0.1:0", "--save", folder_.path("graph.json")}));
    ASSERT_TRUE(host_.waitForOutput("editor page: http://127.0.0.1:")) << host_.error();
    // "editor page: http://127.0.0.1:PORT/?token=T"
    const std::string out = host_.output();
    const std::size_t at = out.find("editor page: http://127.0.0.1:");
    const std::size_t portAt = out.find(':', at + 20) + 1;
    uiPort_ = std::stoi(out.substr(portAt));
    const std::size_t tokenAt = out.find("token=", portAt) + 6;
    token_ = out.substr(tokenAt, out.find('\n', tokenAt) - tokenAt);
    ASSERT_EQ(token_.size(), 64U);
  }
  void TearDown() override {
    host_.signal(SIGTERM);
    EXPECT_EQ(host_.wait(), 0) << host_.error();
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", uiPort_);
    c.set_connection_timeout(5);
    c.set_read_timeout(5);
    return c;
  }
  httplib::Headers bearer(httplib::Headers more = {}) const {
    more.emplace("Authorization", "Bearer " + token_);
    return more;
  }
  std::string cookie(const std::string& value) const {
    return "qeno_token_" + std::to_string(uiPort_) + "=" + value;
  }
  // Opens an event stream on events; false unless it answers 200.
  bool openStream(TcpClient& events, std::string& seen) const {
    if (!events.connect(uiPort_)) return false;
    events.send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(uiPort_) +
                "\r\nAuthorization: Bearer " + token_ + "\r\n\r\n");
    seen = events.readSome(5000);
    while (seen.find("\r\n\r\n") == std::string::npos && !events.eof()) {
      const std::string more = events.readSome(5000);
      if (more.empty()) break;
      seen += more;
    }
    return seen.rfind("HTTP/1.1 200", 0) == 0;
  }
  // Reads the stream on into seen until it holds text, for ten seconds at most.
  static bool streamShows(TcpClient& events, std::string& seen, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      seen += events.readSome(200);
    }
    return seen.find(text) != std::string::npos;
  }
  httplib::Result postJson(const std::string& path, const std::string& body) const {
    return client().Post(path, bearer(), body, "application/json");
  }
  json graph() const {
    auto res = client().Get("/api/graph", bearer());
    return res && res->status == 200 ? json::parse(res->body) : json();
  }

  qeno::test::TempFolder folder_{"qeno-web-"};
  HostProcess host_;
  int serverPort_ = 0;
  int uiPort_ = 0;
  std::string token_;
};

// A box's entries are its class's, told once in "sheets", with its own values
// in "settings"; or its own "properties".
std::string propertyOf(const json& graph, int module, const std::string& name) {
  const json& box = graph["modules"][module];
  if (box.contains("properties")) {
    for (const json& row : box["properties"]) {
      if (row["name"] == name) return row["value"].get<std::string>();
    }
    return "<none>";
  }
  const json& entries = graph["sheets"][box["class"].get<std::string>()];
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i]["name"] == name) return box["settings"][i].get<std::string>();
  }
  return "<none>";
}

int statusOf(const httplib::Result& res) {
  return res ? res->status : -1;
}

}  // namespace

TEST_F(WebTest, EveryRequestNeedsTheTokenALocalHostAndChangesTheSameOrigin) {
  EXPECT_EQ(statusOf(client().Get("/api/graph")), 401);
  EXPECT_EQ(statusOf(client().Get("/api/graph", {{"Authorization", "Bearer " + token_ + "0"}})),
            403);
  EXPECT_EQ(statusOf(client().Get("/api/graph?token=" + std::string(64, '0'))), 403);
  EXPECT_EQ(statusOf(client().Get("/api/graph", {{"Cookie", cookie("nope")}})), 403);
  // Nothing short of the whole token, in the one scheme, passes.
  for (const std::string& given : {std::string(), token_.substr(0, 4), token_.substr(0, 63)}) {
    EXPECT_EQ(statusOf(client().Get("/api/graph", {{"Cookie", cookie(given)}})), 403) << given;
    EXPECT_EQ(statusOf(client().Get("/api/graph", {{"Authorization", "Bearer " + given}})), 403)
        << given;
  }
  for (const std::string& scheme :
       {std::string("Basic x"), "Basic " + token_, "bearer " + token_, token_}) {
    EXPECT_EQ(statusOf(client().Get("/api/graph", {{"Authorization", scheme}})), 403) << scheme;
  }
  // Another qeno-host's page, on another port, has a cookie of its own.
  EXPECT_EQ(
      statusOf(client().Get(
          "/api/graph", {{"Cookie", "qeno_token_" + std::to_string(uiPort_ + 1) + "=" + token_}})),
      401);
  EXPECT_EQ(statusOf(client().Get("/app.js")), 401);
  EXPECT_EQ(statusOf(client().Get("/api/graph", bearer())), 200);
  EXPECT_EQ(statusOf(client().Get("/api/graph", {{"Cookie", "a=b; " + cookie(token_)}})), 200);

  // The first visit trades the token in the address for a cookie.
  auto first = client().Get("/?token=" + token_);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 303);
  EXPECT_EQ(first->get_header_value("Location"), "/");
  EXPECT_EQ(first->get_header_value("Set-Cookie").rfind(cookie(token_) + ";", 0), 0U);
  EXPECT_NE(first->get_header_value("Set-Cookie").find("HttpOnly"), std::string::npos);
  auto page = client().Get("/", {{"Cookie", cookie(token_)}});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<script type=\"module\" src=\"/app.js\">"), std::string::npos);
  EXPECT_FALSE(page->get_header_value("Content-Security-Policy").empty());

  // Another name that resolves here (DNS rebinding) is refused, token or not,
  // a name that merely ends or starts as a local one included.
  const std::string at = ":" + std::to_string(uiPort_);
  for (const std::string& host :
       {"attacker.example" + at, "127.0.0.1:" + std::to_string(uiPort_ + 1),
        std::string("127.0.0.1"), "evil127.0.0.1" + at, "x.localhost" + at,
        "127.0.0.1.evil" + at}) {
    EXPECT_EQ(statusOf(client().Get("/api/graph", bearer({{"Host", host}}))), 403) << host;
  }
  EXPECT_EQ(statusOf(client().Get("/api/graph",
                                  bearer({{"Host", "localhost:" + std::to_string(uiPort_)}}))),
            200);

  // Changes from another origin, or not sent as JSON, are refused before they run.
  const std::string edit = R"({"module":0,"name":"url","value":"/evil"})";
  const std::string origin = "http://127.0.0.1:" + std::to_string(uiPort_);
  for (const std::string& evil : {std::string("http://evil.example"), "http://evil127.0.0.1" + at,
                                  "http://x.localhost" + at}) {
    EXPECT_EQ(statusOf(client().Post("/api/property", bearer({{"Origin", evil}}), edit,
                                     "application/json")),
              403)
        << evil;
  }
  EXPECT_EQ(statusOf(client().Post("/api/property", bearer({{"Sec-Fetch-Site", "cross-site"}}),
                                   edit, "application/json")),
            403);
  EXPECT_EQ(statusOf(client().Post("/api/property", bearer(), edit, "text/plain")), 415);
  EXPECT_EQ(statusOf(client().Post("/api/property", bearer(), edit, "application/jsonx")), 415);
  // A wrong method is told which are right.
  auto wrong = client().Get("/api/property", bearer());
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 405);
  EXPECT_EQ(wrong->get_header_value("Allow"), "POST");
  wrong = client().Post("/api/graph", bearer(), "{}", "application/json");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 405);
  EXPECT_EQ(wrong->get_header_value("Allow"), "GET, HEAD");
  EXPECT_EQ(statusOf(client().Delete("/api/events", bearer())), 405);
  EXPECT_EQ(statusOf(client().Get("/api/nothing", bearer())), 404);
  EXPECT_EQ(statusOf(client().Post("/api/property", edit, "application/json")), 401);
  EXPECT_EQ(propertyOf(graph(), 0, "url"), "/");
  EXPECT_EQ(statusOf(client().Post("/api/property", bearer({{"Origin", origin}}), edit,
                                   "Application/JSON ; charset=utf-8")),
            200);
}

TEST_F(WebTest, EditsAreCheckedAsTheCommandLineChecksThem) {
  auto bad = postJson("/api/property", R"({"module":0,"name":"port",)");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_NE(bad->body.find("bad JSON"), std::string::npos);
  EXPECT_EQ(bad->body.find('\n'), std::string::npos);
  EXPECT_EQ(statusOf(postJson("/api/property", "[1,2]")), 400);
  EXPECT_EQ(statusOf(postJson("/api/property", R"({"module":-1,"name":"port","value":80})")), 400);
  EXPECT_EQ(statusOf(postJson("/api/property", R"({"module":99,"name":"port","value":80})")), 404);
  EXPECT_EQ(statusOf(postJson("/api/command", R"({"module":0,"command":"rm -rf"})")), 400);

  // Too large a body is refused without being read.
  const std::string huge =
      R"({"module":0,"name":"url","value":")" + std::string(20000, 'a') + "\"}";
  EXPECT_EQ(statusOf(postJson("/api/property", huge)), 413);

  auto refused = postJson("/api/property", R"({"module":0,"name":"port","value":"79"})");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 422);
  const json reason = json::parse(refused->body);
  EXPECT_EQ(reason["field"], "port");
  EXPECT_EQ(reason["error"], "property 'port' must be from 80 to 10000, not 79");
  EXPECT_EQ(statusOf(postJson("/api/property", R"({"module":0,"name":"port","value":"8x"})")), 422);
  // A whole number only, however it is written: no fraction, no exponent.
  for (const auto& [value, shown] :
       std::vector<std::pair<std::string, std::string>>{{"9601.4", "9601.4"},
                                                        {"\"9601.4\"", "9601.4"},
                                                        {"1e3", "1000.0"},
                                                        {"\"1e3\"", "1e3"},
                                                        {"1e300", "1e+300"},
                                                        {"-1e300", "-1e+300"}}) {
    auto res = postJson("/api/property", R"({"module":0,"name":"port","value":)" + value + "}");
    ASSERT_TRUE(res) << value;
    EXPECT_EQ(res->status, 422) << value;
    EXPECT_EQ(json::parse(res->body)["error"],
              "property 'port' takes a whole number from 80 to 10000, not '" + shown + "'");
  }

  EXPECT_EQ(statusOf(postJson("/api/property", R"({"module":0,"name":"url","value":"/kept"})")),
            200);
  EXPECT_EQ(statusOf(postJson("/api/move", R"({"module":0,"x":200.4,"y":-10})")), 200);
  EXPECT_EQ(statusOf(postJson("/api/save", "{}")), 200);
  const json now = graph();
  EXPECT_EQ(propertyOf(now, 0, "url"), "/kept");
  EXPECT_EQ(now["modules"][0]["x"], 200);
  EXPECT_EQ(now["modules"][0]["y"], -10);
  EXPECT_EQ(propertyOf(now, 0, "port"), std::to_string(serverPort_));
  ASSERT_TRUE(host_.waitForOutput("saved the graph to"));
  EXPECT_TRUE(std::filesystem::exists(folder_.path("graph.json")));
}

TEST_F(WebTest, TheEventStreamFollowsServedRequestsAndCommandsOnStandardInput) {
  TcpClient events;
  ASSERT_TRUE(events.connect(uiPort_));
  ASSERT_TRUE(events.send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(uiPort_) +
                          "\r\nAuthorization: Bearer " + token_ + "\r\n\r\n"));
  std::string seen;
  auto waitFor = [&](const std::string& text) { return streamShows(events, seen, text); };
  ASSERT_TRUE(waitFor("\"square\":\"red\"")) << seen;
  EXPECT_NE(seen.find("text/event-stream"), std::string::npos);
  EXPECT_NE(seen.find("\"state\":\"listening\""), std::string::npos);
  seen.clear();

  TcpClient request;
  ASSERT_TRUE(request.connect(serverPort_));
  request.send("hi\r\n");
  EXPECT_EQ(request.readAll(), "42,x");
  EXPECT_TRUE(waitFor("\"square\":\"green\"")) << seen;
  EXPECT_TRUE(waitFor("\"lastChunk\":\"hi\\\\r\\\\n\"")) << seen;
  EXPECT_TRUE(waitFor("\"requests\":1")) << seen;
  EXPECT_TRUE(waitFor("received hi\\\\r\\\\n")) << seen;

  // A command typed on standard input reaches the page too.
  seen.clear();
  host_.writeLine("reply 7");
  EXPECT_TRUE(waitFor("\"value\":7")) << seen;
}

TEST_F(WebTest, WhatNoBoxTellsShowsByTheSweepAndARemovedBoxAsNull) {
  TcpClient events;
  std::string seen;
  ASSERT_TRUE(openStream(events, seen)) << seen;
  auto waitFor = [&](const std::string& text) { return streamShows(events, seen, text); };
  // The start's lines are in the log, tied to their box.
  EXPECT_TRUE(waitFor(R"("module":0,"text":"server 0: listening on 127.0.0.1 port )" +
                      std::to_string(serverPort_)))
      << seen;
  const std::string where = "127.0.0.1:" + std::to_string(serverPort_);
  EXPECT_TRUE(waitFor(R"("status":{"colour":"green","text":"listening on )" + where)) << seen;
  // Once the square is green, a connection opens and closes with no repaint
  // and no value handed on: only the sweep shows it.
  EXPECT_EQ(qeno::test::requestReply(serverPort_, "hi\r\n"), "42,x");
  ASSERT_TRUE(waitFor(R"("square":"green")")) << seen;
  seen.clear();
  TcpClient silent;
  ASSERT_TRUE(silent.connect(serverPort_));
  EXPECT_TRUE(waitFor(R"("state":"connected")")) << seen;
  EXPECT_TRUE(waitFor(R"("text":"serving a client on )" + where)) << seen;
  seen.clear();
  silent.close();
  EXPECT_TRUE(waitFor(R"("state":"listening")")) << seen;
  EXPECT_TRUE(waitFor(R"("requests":2)")) << seen;

  // A box removed goes from every page.
  ASSERT_EQ(statusOf(postJson("/api/remove", R"({"modules": [3]})")), 200);
  EXPECT_TRUE(waitFor(R"("3":null)")) << seen;

  // A link made by hand hands on what its source holds (--reply 42), and a
  // sink paints every new value it takes.
  auto imageOf = [&](int module) {
    const json whole = graph();
    for (const json& box : whole["modules"]) {
      if (box["module"] == module) return box["image"]["version"].get<int>();
    }
    return -1;
  };
  auto added = postJson("/api/add", R"({"class": "IntegerSink", "x": 20, "y": 300})");
  ASSERT_EQ(statusOf(added), 200);
  const int sink = json::parse(added->body)["module"];
  ASSERT_TRUE(qeno::test::waitUntil([&] { return imageOf(sink) > 0; }));
  const int unlinked = imageOf(sink);
  const json link = {{"from", {{"module", 2}, {"output", 0}}},
                     {"to", {{"module", sink}, {"input", 0}}}};
  ASSERT_EQ(statusOf(postJson("/api/link", link.dump())), 200);
  ASSERT_TRUE(qeno::test::waitUntil([&] { return imageOf(sink) != unlinked; }));
  const int holding42 = imageOf(sink);
  ASSERT_EQ(statusOf(postJson("/api/property", R"({"module": 2, "name": "value", "value": 44})")),
            200);
  EXPECT_TRUE(qeno::test::waitUntil([&] { return imageOf(sink) != holding42; }));
}

TEST_F(WebTest, WithThePageAPortInUseIsShownAtTheBoxAndInTheLogAndStartMendsIt) {
  // Two servers on one port, each with a source holding 1: one of them
  // cannot listen. The host stays up, and its page says which and why.
  int port = 0;
  do {
    port = qeno::test::freePortBetween(2000, 9999);
  } while (port == serverPort_);
  const std::string file = folder_.path("clash.json");
  std::ofstream(file)
      << R"({"format": "qeno-graph", "version": 1, "modules": [)"
      << R"({"class": "QenoServer", "content": {"port": )" << port << "}},"
      << R"({"class": "QenoServer", "content": {"port": )" << port << "}},"
      << R"({"class": "IntegerSource", "content": {"value": 1}},)"
      << R"({"class": "IntegerSource", "content": {"value": 1}}], "links": [)"
      << R"({"from": {"module": 2, "output": 0}, "to": {"module": 0, "input": 0}},)"
      << R"({"from": {"module": 3, "output": 0}, "to": {"module": 1, "input": 0}}]})";
  HostProcess clash;
  ASSERT_TRUE(clash.start(QENO_HOST_PATH, {"--graph", file, "--ui", "127.0.0.1:0"}));
  ASSERT_TRUE(clash.waitForOutput("editor page: http://127.0.0.1:")) << clash.error();
  // The fixture's helpers ask this host's page from here on.
  const std::string out = clash.output();
  const std::size_t at = out.find("editor page: http://127.0.0.1:");
  uiPort_ = std::stoi(out.substr(out.find(':', at + 20) + 1));
  const std::size_t tokenAt = out.find("token=", at) + 6;
  token_ = out.substr(tokenAt, out.find('\n', tokenAt) - tokenAt);
  EXPECT_NE(clash.error().find("cannot listen on port " + std::to_string(port) +
                               ": Address already in use"),
            std::string::npos)
      << clash.error();

  auto statusText = [](const json& whole, int module) {
    for (const json& box : whole["modules"]) {
      if (box["module"] == module && box.contains("status")) return box["status"]["text"];
    }
    return json("<none>");
  };
  const json first = graph();
  const std::string inUse = "idle: port " + std::to_string(port) + " is in use";
  const int loser = statusText(first, 0) == inUse ? 0 : 1;
  ASSERT_EQ(statusText(first, loser), inUse) << first.dump();
  TcpClient events;
  std::string seen;
  ASSERT_TRUE(openStream(events, seen)) << seen;
  auto waitFor = [&](const std::string& text) { return streamShows(events, seen, text); };
  EXPECT_TRUE(waitFor(R"("module":)" + std::to_string(loser) +
                      R"(,"text":"cannot listen on port )" + std::to_string(port) +
                      R"(: Address already in use")"))
      << seen;
  // Without --quiet the debug channel is in the log too, by box.
  EXPECT_TRUE(waitFor(R"("module":)" + std::to_string(1 - loser) + R"(,"text":"try to connect")"))
      << seen;

  // Stop the one, start the other.
  auto command = [&](int module, const std::string& name) {
    return statusOf(postJson("/api/command", json{{"module", module}, {"command", name}}.dump()));
  };
  ASSERT_EQ(command(1 - loser, "stop"), 200);
  ASSERT_EQ(command(loser, "start"), 200);
  EXPECT_TRUE(qeno::test::waitUntil([&] {
    return statusText(graph(), loser) == "listening on 127.0.0.1:" + std::to_string(port);
  })) << graph().dump();
  EXPECT_EQ(statusText(graph(), 1 - loser), "idle: stopped");
  EXPECT_EQ(qeno::test::requestReply(port, "hi\r\n"), "0,x");
  clash.writeLine("quit");
  EXPECT_EQ(clash.wait(), 0) << clash.error();
}

TEST_F(WebTest, APageAddressInUseEndsASecondHostWithOneLine) {
  const int otherPort = qeno::test::freePortBetween(2000, 9999);
  ASSERT_NE(otherPort, 0);
  HostProcess second;
  ASSERT_TRUE(second.start(QENO_HOST_PATH, {"--port", std::to_string(otherPort), "--quiet", "--ui",
                                            "127.0.0.1:" + std::to_string(uiPort_)}));
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(second.error(), "qeno-host: cannot serve the editor page on 127.0.0.1:" +
                                std::to_string(uiPort_) + ": Address already in use\n");
  EXPECT_EQ(statusOf(client().Get("/api/graph", bearer())), 200);
}

TEST_F(WebTest, BodiesStopAtTheLimitAndSlowOrIdleConnectionsKeepNoOneOut) {
  const std::string head =
      "POST /api/property HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(uiPort_) +
      "\r\nAuthorization: Bearer " + token_ + "\r\nContent-Type: application/json\r\n";
  // A chunked body is refused once past 16 KiB, without waiting for the rest.
  TcpClient chunked;
  ASSERT_TRUE(chunked.connect(uiPort_));
  ASSERT_TRUE(chunked.send(head + "Transfer-Encoding: chunked\r\n\r\n4000\r\n" +
                           std::string(0x4000, ' ') + "\r\n10\r\n" + std::string(16, ' ') +
                           "\r\n"));
  std::string reply = chunked.readAll(10000);
  EXPECT_EQ(reply.rfind("HTTP/1.1 413", 0), 0U) << reply;
  EXPECT_TRUE(chunked.eof() || chunked.reset());
  // So is a length past it, before any of the body came.
  TcpClient declared;
  ASSERT_TRUE(declared.connect(uiPort_));
  ASSERT_TRUE(declared.send(head + "Content-Length: 100000000\r\n\r\n"));
  reply = declared.readAll(10000);
  EXPECT_EQ(reply.rfind("HTTP/1.1 413", 0), 0U) << reply;
  // Within the limit, a chunked body is taken.
  const std::string edit = R"({"module":0,"name":"url","value":"/chunked"})";
  TcpClient small;
  ASSERT_TRUE(small.connect(uiPort_));
  char size[16];
  std::snprintf(size, sizeof size, "%zx", edit.size());
  ASSERT_TRUE(small.send(head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + size +
                         "\r\n" + edit + "\r\n0\r\n\r\n"));
  reply = small.readAll(10000);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0U) << reply;

  // Far more idle and slow connections than the page has threads.
  std::vector<std::unique_ptr<TcpClient>> idle(60);
  std::vector<std::unique_ptr<TcpClient>> slow(24);
  for (auto& c : idle) {
    c = std::make_unique<TcpClient>();
    ASSERT_TRUE(c->connect(uiPort_));
  }
  for (auto& c : slow) {
    c = std::make_unique<TcpClient>();
    ASSERT_TRUE(c->connect(uiPort_));
    ASSERT_TRUE(c->send("GET /api/graph HTTP/1.1\r\nHo"));
  }
  auto answered = client().Get("/api/graph", bearer());
  ASSERT_TRUE(answered) << httplib::to_string(answered.error());
  EXPECT_EQ(answered->status, 200);
  EXPECT_EQ(propertyOf(json::parse(answered->body), 0, "url"), "/chunked");
  // A head must come whole within seconds, however steadily it trickles.
  EXPECT_TRUE(qeno::test::waitUntil(
      [&] {
        bool allClosed = true;
        for (auto& c : slow) {
          if (c->eof() || c->reset()) continue;
          c->send("s");
          c->readSome(1);
          allClosed = allClosed && (c->eof() || c->reset());
        }
        return allClosed;
      },
      qeno::test::scaledMs(15000)));
  for (auto& c : idle) {
    c->readSome(1);
    EXPECT_TRUE(c->eof() || c->reset());
  }
}

TEST_F(WebTest, StreamsAreLimitedFreedWhenClosedAndStartWithTheTextsReceived) {
  std::vector<std::unique_ptr<TcpClient>> streams;
  std::string seen;
  for (int i = 0; i < 8; ++i) {
    streams.push_back(std::make_unique<TcpClient>());
    ASSERT_TRUE(openStream(*streams.back(), seen)) << i << ": " << seen;
  }
  TcpClient ninth;
  EXPECT_FALSE(openStream(ninth, seen));
  EXPECT_EQ(seen.rfind("HTTP/1.1 503", 0), 0U) << seen;
  // A closed stream gives its slot back at once, not when the graph next
  // changes (it does not change here) or at its next ping.
  auto slotComesBack = [&] {
    streams.back()->close();
    streams.pop_back();
    return qeno::test::waitUntil(
        [&] {
          streams.push_back(std::make_unique<TcpClient>());
          if (openStream(*streams.back(), seen)) return true;
          streams.pop_back();
          return false;
        },
        qeno::test::scaledMs(3000));
  };
  EXPECT_TRUE(slotComesBack()) << seen;

  // A stream opened later starts with the texts received before it: valid
  // UTF-8 as itself, anything else escaped.
  TcpClient request;
  ASSERT_TRUE(request.connect(serverPort_));
  request.send("caf\xc3\xa9 \xff\r\n");
  EXPECT_EQ(request.readAll(), "42,x");
  const std::string line = "received caf\xc3\xa9 \\\\xff\\\\r\\\\n";
  EXPECT_TRUE(qeno::test::waitUntil([&] {
    seen += streams.front()->readSome(100);
    return seen.find(line) != std::string::npos;
  })) << seen;
  ASSERT_TRUE(slotComesBack()) << seen;
  seen.clear();
  EXPECT_TRUE(qeno::test::waitUntil([&] {
    seen += streams.back()->readSome(100);
    return seen.find(line) != std::string::npos;
  })) << seen;
}

TEST_F(WebTest, ThePageBuildsTheEchoGraphFromNothingAndEveryEditUndoes) {
  auto ok = [&](const std::string& path, const json& body) {
    auto res = postJson(path, body.dump());
    EXPECT_EQ(statusOf(res), 200) << path << " " << (res ? res->body : "");
    return res && res->status == 200 ? json::parse(res->body) : json();
  };
  const std::size_t started = graph()["modules"].size();
  const json empty = {{"format", "qeno-graph"}, {"version", 1}, {"modules", json::array()}};
  ok("/api/import", {{"graph", empty}});
  EXPECT_TRUE(graph()["modules"].empty());

  auto classes = client().Get("/api/classes", bearer());
  ASSERT_EQ(statusOf(classes), 200);
  EXPECT_NE(classes->body.find("\"QenoServer\""), std::string::npos);
  const int server = ok("/api/add", {{"class", "QenoServer"}, {"x", 200}, {"y", 40}})["module"];
  const int source = ok("/api/add", {{"class", "IntegerSource"}, {"x", 10}, {"y", 40}})["module"];
  auto link = [](int from, const json& output, int to, const json& input) {
    return json{{"from", {{"module", from}, {"output", output}}},
                {"to", {{"module", to}, {"input", input}}}};
  };
  ok("/api/link", link(source, 0, server, "readInput"));
  ok("/api/link", link(server, "int_1", server, 1));
  auto refused = postJson("/api/link", link(server, "xml_10", server, "sendOutput").dump());
  EXPECT_EQ(statusOf(refused), 422);
  const std::string box = "(QenoServer box " + std::to_string(server) + ")";
  EXPECT_EQ(json::parse(refused->body)["error"],
            "xml_10 " + box + " carries text; sendOutput " + box + " takes an integer");
  ok("/api/property", {{"module", server}, {"name", "key1"}, {"value", "n="}});
  ok("/api/property", {{"module", server}, {"name", "port"}, {"value", serverPort_}});
  ok("/api/property", {{"module", source}, {"name", "value"}, {"value", 1}});
  // The host says when it listens; a probe that bound the port itself could
  // take it from the server at that very moment.
  json shown;
  ASSERT_TRUE(qeno::test::waitUntil([&] {
    shown = graph();
    for (const json& box : shown["modules"]) {
      if (box["module"] == server) return box["server"]["state"] == "listening";
    }
    return false;
  })) << shown.dump()
      << host_.error();
  EXPECT_EQ(qeno::test::requestReply(serverPort_, "n=37\r\n\r\n"), "37,x");

  // A removal takes the source's link; its undo brings both back.
  ok("/api/remove", {{"modules", {source}}});
  EXPECT_EQ(graph()["links"].size(), 1U);
  ok("/api/undo", json::object());
  const json back = graph();
  EXPECT_EQ(back["links"].size(), 2U);
  EXPECT_EQ(back["modules"][1]["module"], source);
  ok("/api/redo", json::object());
  ok("/api/undo", json::object());

  // Copied boxes paste with their settings and the link between them.
  const json copied = ok("/api/copy", {{"modules", {server, source}}})["graph"];
  const json pasted = ok("/api/paste", {{"graph", copied}, {"dx", 0}, {"dy", 300}})["modules"];
  ASSERT_EQ(pasted.size(), 2U);
  const json withCopies = graph();
  EXPECT_EQ(withCopies["links"].size(), 4U);
  EXPECT_EQ(propertyOf(withCopies, 2, "key1"), "n=");
  ok("/api/undo", json::object());

  // What is exported imports as the same graph.
  auto exported = client().Get("/api/export", bearer());
  ASSERT_EQ(statusOf(exported), 200);
  EXPECT_NE(exported->get_header_value("Content-Disposition").find("graph.json"),
            std::string::npos);
  ok("/api/import", {{"graph", json::parse(exported->body)}});
  EXPECT_EQ(client().Get("/api/export", bearer())->body, exported->body);
  auto bad = postJson("/api/import", R"({"graph": {"format": "qeno-graph", "version": 2}})");
  EXPECT_EQ(statusOf(bad), 422);
  EXPECT_NE(bad->body.find("the imported graph: version 2 is not supported"), std::string::npos);
  // Nothing left to redo, and undo walks back to the start.
  EXPECT_EQ(statusOf(postJson("/api/redo", "{}")), 422);
  for (int step = 0; step < 12 && statusOf(postJson("/api/undo", "{}")) == 200; ++step) {
  }
  EXPECT_EQ(graph()["modules"].size(), started);
}

TEST_F(WebTest, ClassesComeDescribedAndBoxesOfAClassShareOneLayoutAndSheet) {
  auto classes = client().Get("/api/classes", bearer());
  ASSERT_EQ(statusOf(classes), 200);
  const json described = json::parse(classes->body);
  json server;
  for (const json& entry : described["classes"]) {
    EXPECT_FALSE(entry["description"].get<std::string>().empty()) << entry["name"];
    if (entry["name"] == "QenoServer") server = entry;
  }
  ASSERT_TRUE(server.is_object());
  ASSERT_EQ(server["inputs"].size(), 2U);
  ASSERT_EQ(server["outputs"].size(), 30U);
  EXPECT_EQ(server["inputs"][1]["name"], "sendOutput");
  EXPECT_EQ(server["outputs"][29]["type"], "text");
  for (const char* side : {"inputs", "outputs"}) {
    for (const json& port : server[side]) {
      EXPECT_GT(port["description"].get<std::string>().size(), 20U) << port["name"];
    }
  }
  ASSERT_EQ(server["properties"].size(), 23U);
  for (const json& row : server["properties"]) {
    EXPECT_GT(row["description"].get<std::string>().size(), 20U) << row["name"];
  }
  EXPECT_EQ(server["properties"][5]["name"], "port");
  EXPECT_EQ(server["properties"][5]["lower"], 80);

  // Three servers of one size share one layout and one sheet; a fourth of
  // another size has a layout of its own, which goes with its last box.
  auto add = [&] {
    auto res = postJson("/api/add", R"({"class":"QenoServer","x":400,"y":400})");
    return res && res->status == 200 ? json::parse(res->body)["module"].get<int>() : -1;
  };
  const int second = add();
  const int third = add();
  ASSERT_GE(third, 0);
  auto serverLayouts = [](const json& state) {
    std::set<std::string> keys;
    for (const auto& [key, layout] : state["layouts"].items()) {
      if (layout["outputs"].size() == 30U) keys.insert(key);
    }
    return keys;
  };
  json state = graph();
  ASSERT_EQ(serverLayouts(state).size(), 1U);
  const std::string shared = *serverLayouts(state).begin();
  for (const json& box : state["modules"]) {
    if (box["class"] != "QenoServer") continue;
    EXPECT_EQ(box["layout"], shared);
    EXPECT_FALSE(box.contains("ports"));
    EXPECT_EQ(box["settings"].size(), state["sheets"]["QenoServer"].size());
  }
  // Box-relative: the same areas wherever a box stands.
  const json& last = state["layouts"][shared]["outputs"][29]["area"];
  EXPECT_EQ(last[0], state["modules"][third]["width"]);  // on the right edge
  EXPECT_GT(last[1].get<double>(), 0);
  EXPECT_LT(last[1].get<double>(), state["modules"][third]["height"].get<double>());
  EXPECT_EQ(propertyOf(state, third, "port"), "80");

  ASSERT_EQ(
      statusOf(postJson("/api/property",
                        json{{"module", second}, {"name", "width"}, {"value", "300"}}.dump())),
      200);
  state = graph();
  EXPECT_EQ(serverLayouts(state).size(), 2U);
  EXPECT_NE(state["modules"][second]["layout"], shared);
  ASSERT_EQ(statusOf(postJson("/api/remove", json{{"modules", {second}}}.dump())), 200);
  EXPECT_EQ(serverLayouts(graph()).size(), 1U);
}
