#include "WebUi.h"

#include <httplib.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>

#include "PageAssets.h"
#include "PageServer.h"
#include "WebRequests.h"
#include "WebUiShared.h"

namespace {

// Change events a slow stream may still catch up on; further behind, it
// gets the whole state again.
constexpr std::size_t kChangesKept = 64;
using webrequest::kMaxBodyBytes;
using webrequest::kMaxGraphBodyBytes;
using webrequest::refuse;
// As many received lines as the page keeps: a new page shows them all.
constexpr std::size_t kLogKept = 200;

const char* const kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// Whether text is 1 to most characters, each of which passes is.
bool allOf(std::string_view text, std::size_t most, int (*is)(int)) {
  if (text.empty() || text.size() > most) return false;
  return std::all_of(text.begin(), text.end(),
                     [is](char c) { return is(static_cast<unsigned char>(c)) != 0; });
}

// The methods a known path takes, or an empty string for an unknown path.
std::string methodsOf(std::string_view path) {
  const auto endsWith = [&](std::string_view end) {
    return path.size() > end.size() && path.substr(path.size() - end.size()) == end;
  };
  const auto stem = [&](std::size_t from, std::string_view end) {
    return path.substr(from, path.size() - from - end.size());
  };
  const bool asset = (endsWith(".js") && allOf(stem(1, ".js"), 64, ::islower)) ||
                     (endsWith(".css") && allOf(stem(1, ".css"), 64, ::islower));
  const std::string_view box = "/api/box/";
  const bool picture = path.substr(0, box.size()) == box && endsWith(".png") &&
                       allOf(stem(box.size(), ".png"), 6, ::isdigit);
  if (path == "/" || path == "/api/graph" || path == "/api/events" || path == "/api/classes" ||
      path == "/api/export" || asset || picture) {
    return "GET, HEAD";
  }
  static const char* const kEdits[] = {"/api/property", "/api/move",  "/api/moves",  "/api/command",
                                       "/api/save",     "/api/add",   "/api/remove", "/api/link",
                                       "/api/unlink",   "/api/undo",  "/api/redo",   "/api/copy",
                                       "/api/paste",    "/api/import"};
  for (const char* edit : kEdits) {
    if (path == edit) return "POST";
  }
  return {};
}

// Only a paste or an import carries a whole graph.
std::size_t bodyLimitOf(const std::string& path) {
  return path == "/api/paste" || path == "/api/import" ? kMaxGraphBodyBytes : kMaxBodyBytes;
}

}  // namespace

WebUi::Shared::Shared(JGraph& graph, GraphEditor& editor, WebUiHooks hooks)
    : graph(graph),
      editor(editor),
      hooks(std::move(hooks)),
      snapshot(graph, this->hooks.stateOf, static_cast<bool>(this->hooks.save), &editor) {}

void WebUi::Shared::markDirty() {
  // Called for every value a box publishes: only the first since the last
  // snapshot wakes the publisher.
  if (dirty.exchange(true)) return;
  { std::lock_guard<std::mutex> hold(lock); }
  changedSignal.notify_all();
}

std::string WebUi::Shared::takeState() {
  publish();
  {
    // Nothing changed since the last whole was taken: it stands.
    std::lock_guard<std::mutex> hold(lock);
    if (stateSequence == sequence && !state.empty()) return state;
  }
  std::string whole = snapshot.whole();
  std::lock_guard<std::mutex> hold(lock);
  state = whole;
  stateSequence = sequence;
  return whole;
}

void WebUi::Shared::touchedBy(const JModuleObj& box, int output) {
  const bool text =
      output == ServerPorts::kTextOutput && std::strcmp(box.className(), "QenoServer") == 0;
  // A request hands on several values: each worker tells a box once a snapshot.
  thread_local const Shared* lastShared = nullptr;
  thread_local const JModuleObj* lastBox = nullptr;
  thread_local std::uint64_t lastRound = 0;
  const std::uint64_t round = rounds.load();
  if (!text && lastShared == this && lastBox == &box && lastRound == round) return;
  lastShared = this;
  lastBox = &box;
  lastRound = round;
  {
    std::lock_guard<std::mutex> hold(lock);
    touched.insert(&box);
    if (text) ++requests[&box];
  }
  markDirty();
}

std::string WebUi::Shared::logSince(std::uint64_t& next) const {
  const std::uint64_t first = logCount - logLines.size();
  if (next >= logCount) return {};
  next = std::max(next, first);
  nlohmann::json lines = nlohmann::json::array();
  for (auto line = logLines.begin() + static_cast<std::ptrdiff_t>(next - first);
       line != logLines.end(); ++line) {
    lines.push_back(*line);
  }
  const nlohmann::json data = {{"first", next}, {"lines", std::move(lines)}};
  next = logCount;
  return data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void WebUi::Shared::publish() {
  std::map<const JModuleObj*, long> served;
  std::set<const JModuleObj*> told;
  {
    // A box that left the graph leaves its count, lest a new box at its
    // address take it over.
    std::set<const JModuleObj*> present;
    for (const auto& box : graph.modules()) present.insert(box.get());
    std::lock_guard<std::mutex> hold(lock);
    std::erase_if(requests, [&](const auto& item) { return present.count(item.first) == 0; });
    served = requests;
    told.swap(touched);
    ++rounds;
  }
  std::string change = snapshot.update(served, told);
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!change.empty() || sequence == 0) {
      images = snapshot.images();
      ++sequence;
      changes.emplace_back(sequence, std::move(change));
      if (changes.size() > kChangesKept) changes.pop_front();
    }
    buildQueued = false;
    // Pictures left unpainted for want of time are painted next.
    if (snapshot.behind()) dirty = true;
  }
  publishedSignal.notify_all();
  changedSignal.notify_all();
}

void WebUi::Shared::addRoutes(httplib::Server& server) {
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    using Handled = httplib::Server::HandlerResponse;
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    if (!access->hostAllowed(req.get_header_value("Host"))) {
      refuse(res, 403, "this page answers only to " + urlHost + " or localhost");
      return Handled::Handled;
    }
    const auto check =
        access->checkToken(req.get_header_value("Authorization"), req.get_param_value("token"),
                           req.get_header_value("Cookie"));
    if (check == WebAccess::TokenCheck::kMissing) {
      refuse(res, 401, "a token is needed: open the address qeno-host printed");
      return Handled::Handled;
    }
    if (check == WebAccess::TokenCheck::kWrong) {
      refuse(res, 403, "wrong token: open the address qeno-host printed");
      return Handled::Handled;
    }
    const std::string methods = methodsOf(req.path);
    if (!methods.empty() && methods.find(req.method) == std::string::npos) {
      refuse(res, 405, req.method + " is not taken here; " + methods + " is");
      res.set_header("Allow", methods);
      return Handled::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      if (!access->originAllowed(req.get_header_value("Origin"),
                                 req.get_header_value("Sec-Fetch-Site"))) {
        refuse(res, 403, "changes are taken only from the editor page itself");
        return Handled::Handled;
      }
      if (!WebAccess::isJsonMediaType(req.get_header_value("Content-Type"))) {
        refuse(res, 415, "changes are sent as application/json");
        return Handled::Handled;
      }
      const bool chunked =
          ::strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") == 0;
      if (!chunked && !req.has_header("Content-Length")) {
        refuse(res, 411, "a change needs its length (Content-Length)");
        return Handled::Handled;
      }
      if (!chunked &&
          req.get_header_value<std::uint64_t>("Content-Length") > bodyLimitOf(req.path)) {
        refuse(res, 413, "request body too large");
        return Handled::Handled;
      }
    }
    if (req.has_param("token")) res.set_header("Set-Cookie", access->cookie());
    return Handled::Unhandled;
  });
  server.set_error_handler([](const httplib::Request& /*req*/, httplib::Response& res) {
    if (!res.body.empty()) return;
    const std::string reason = res.status == 413 ? "request body too large"
                               : res.status == 404
                                   ? "no such page"
                                   : "request refused (" + std::to_string(res.status) + ")";
    refuse(res, res.status, reason);
  });

  server.Get("/", [](const httplib::Request& req, httplib::Response& res) {
    if (req.has_param("token")) {
      // The cookie now carries the token; keep it out of the address bar.
      res.set_redirect("/", 303);
      return;
    }
    const PageAsset* page = findPageAsset("/index.html");
    res.set_header("Content-Security-Policy", kSecurityPolicy);
    res.set_content(std::string(page->bytes), std::string(page->type));
  });
  server.Get(R"(/([a-z]+\.(js|css)))", [](const httplib::Request& req, httplib::Response& res) {
    const PageAsset* asset = findPageAsset(req.path);
    if (asset == nullptr) return refuse(res, 404, "no such page");
    res.set_content(std::string(asset->bytes), std::string(asset->type));
  });
  server.Get("/api/graph", [this](const httplib::Request&, httplib::Response& res) {
    // Taken now, so that it shows every change made before the request.
    const Outcome outcome = runOnHost([this] { return Outcome{200, takeState()}; });
    res.status = outcome.status;
    res.set_content(outcome.body, "application/json");
  });
  server.Get(R"(/api/box/(\d{1,6})\.png)",
             [this](const httplib::Request& req, httplib::Response& res) {
               const int number = std::stoi(req.matches[1].str());
               std::shared_ptr<const std::string> png;
               {
                 std::lock_guard<std::mutex> hold(lock);
                 auto found = images.find(number);
                 if (found != images.end()) png = found->second.png;
               }
               if (!png) return refuse(res, 404, "no box " + req.matches[1].str());
               res.set_content(*png, "image/png");
             });
  addEventRoute(server);
  addEditRoutes(server);
}

WebUi::WebUi(JGraph& graph, GraphEditor& editor, WebUiHooks hooks)
    : shared_(std::make_shared<Shared>(graph, editor, std::move(hooks))) {}

WebUi::~WebUi() {
  stop();
}

std::string WebUi::start(const std::string& address, int port) {
  Shared& s = *shared_;
  const bool v6 = address.find(':') != std::string::npos;
  const bool any = address == "0.0.0.0" || address == "::";
  s.urlHost = any ? "127.0.0.1" : v6 ? "[" + address + "]" : address;
  PageServer::Limits limits;
  limits.threads = Shared::kMaxStreams + 8;  // every stream holds one
  s.server = std::make_unique<PageServer>(limits);
  PageServer& server = *s.server;
  // The library's default shares the port (SO_REUSEPORT): a second server on
  // it would take half the requests. Only a closed connection's port is reused.
  server.set_socket_options([](int fd) {
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_payload_max_length(kMaxGraphBodyBytes);
  const std::string where = (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
  int bound = port;
  if (port == 0) {
    bound = server.bind_to_any_port(address);
  } else if (!server.bind_to_port(address, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    s.server.reset();
    return "cannot serve the editor page on " + where + ": " +
           (errno != 0 ? std::strerror(errno) : "bind failed");
  }
  server.widenBacklog();
  s.port = bound;
  s.access = std::make_unique<WebAccess>(any ? "127.0.0.1" : address, bound, WebAccess::newToken());
  s.addRoutes(server);
  s.publish();  // the first state, before any page asks
  // A served request shows as the values its box hands on, and a server's
  // text counts as one received, whether or not anything is linked to it.
  s.graph.setOutputObserver([&s](const JModuleObj& box, int output) { s.touchedBy(box, output); });
  s.listener = std::thread([&server] { server.listen_after_bind(); });
  s.publisher = std::thread([&s] { s.runPublisher(); });
  // The server's stop() does nothing until its loop runs: wait for it, so a
  // stop right after start cannot leave the loop running.
  for (int waited = 0; !server.is_running() && waited < 5000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return {};
}

void WebUi::stop() {
  Shared& s = *shared_;
  if (!s.server) return;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.stopping = true;
  }
  s.graph.setOutputObserver(nullptr);
  s.changedSignal.notify_all();
  s.publishedSignal.notify_all();
  s.server->stop();
  if (s.listener.joinable()) s.listener.join();
  if (s.publisher.joinable()) s.publisher.join();
  s.server.reset();
}

int WebUi::port() const {
  return shared_->port;
}

std::string WebUi::url() const {
  const Shared& s = *shared_;
  return "http://" + s.urlHost + ":" + std::to_string(s.port) + "/?token=" + s.access->token();
}

void WebUi::changed() {
  shared_->snapshot.markEdited();
  shared_->markDirty();
}

void WebUi::edited(int edited) {
  if (edited >= 0) shared_->snapshot.markBoxEdited(edited);
  shared_->markDirty();
}

void WebUi::repainted(JModuleObj& box) {
  shared_->snapshot.markRepainted(box);
  shared_->markDirty();
}

void WebUi::received(const JModuleObj& /*box*/, int port, const std::string& text) {
  Shared& s = *shared_;
  std::string line = "port " + std::to_string(port) + " received " + GraphSnapshot::shownText(text);
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.logLines.push_back(std::move(line));
    if (s.logLines.size() > kLogKept) s.logLines.pop_front();
    ++s.logCount;
  }
  s.markDirty();
}
