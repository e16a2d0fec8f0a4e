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
#include <string_view>

#include "PageAssets.h"
#include "PageServer.h"
#include "WebUiShared.h"

namespace {

constexpr int kMaxPublishesPerSecond = 30;
constexpr int kMaxStreams = 8;
constexpr std::size_t kMaxBodyBytes = std::size_t{16} * 1024;
// As many received lines as the page keeps: a new page shows them all.
constexpr std::size_t kLogKept = 200;
constexpr auto kStreamPing = std::chrono::seconds(10);
// How often a waiting event stream looks whether its page is still there.
constexpr auto kStreamLook = std::chrono::milliseconds(250);

const char* const kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// Every refusal closes its connection: a body that was not read must not be
// taken for the next request.
void refuse(httplib::Response& res, int status, const std::string& reason) {
  res.status = status;
  res.set_header("Connection", "close");
  res.set_content(reason + "\n", "text/plain; charset=utf-8");
}

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
  if (path == "/" || path == "/api/graph" || path == "/api/events" || asset || picture) {
    return "GET, HEAD";
  }
  if (path == "/api/property" || path == "/api/move" || path == "/api/command" ||
      path == "/api/save") {
    return "POST";
  }
  return {};
}

}  // namespace

WebUi::Shared::Shared(JGraph& graph, WebUiHooks hooks)
    : graph(graph),
      hooks(std::move(hooks)),
      snapshot(graph, this->hooks.stateOf, static_cast<bool>(this->hooks.save)) {}

void WebUi::Shared::markDirty() {
  {
    std::lock_guard<std::mutex> hold(lock);
    dirty = true;
  }
  changedSignal.notify_all();
}

std::string WebUi::Shared::takeState() {
  std::map<const JModuleObj*, long> served;
  {
    std::lock_guard<std::mutex> hold(lock);
    served = requests;
  }
  std::string json = snapshot.build(served);
  std::lock_guard<std::mutex> hold(lock);
  images = snapshot.images();
  return json;
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
  {
    std::lock_guard<std::mutex> hold(lock);
    served = requests;
  }
  std::string json = snapshot.build(served);
  {
    std::lock_guard<std::mutex> hold(lock);
    state = std::move(json);
    images = snapshot.images();
    ++sequence;
    buildQueued = false;
  }
  publishedSignal.notify_all();
  changedSignal.notify_all();
}

void WebUi::Shared::runPublisher() {
  const auto gap = std::chrono::milliseconds(1000 / kMaxPublishesPerSecond);
  std::unique_lock<std::mutex> hold(lock);
  while (!stopping) {
    changedSignal.wait(hold, [&] { return stopping || (dirty && !buildQueued); });
    if (stopping) break;
    dirty = false;
    buildQueued = true;
    hold.unlock();
    graph.post([self = shared_from_this()] {
      if (!self->stopping) {
        self->publish();
      } else {
        std::lock_guard<std::mutex> hold(self->lock);
        self->buildQueued = false;
      }
    });
    hold.lock();
    // The gap counts from the end of the build, so streams never get more.
    changedSignal.wait(hold, [&] { return stopping || !buildQueued; });
    changedSignal.wait_for(hold, gap, [&] { return stopping.load(); });
  }
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
      if (!chunked && req.get_header_value<std::uint64_t>("Content-Length") > kMaxBodyBytes) {
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
               const std::size_t index = std::stoul(req.matches[1].str());
               std::lock_guard<std::mutex> hold(lock);
               if (index >= images.size() || images[index].png.empty()) {
                 return refuse(res, 404, "no box " + req.matches[1].str());
               }
               res.set_content(images[index].png, "image/png");
             });
  addEventRoute(server);
  addEditRoutes(server);
}

void WebUi::Shared::addEventRoute(httplib::Server& server) {
  server.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (streams >= kMaxStreams) return refuse(res, 503, "too many open pages");
      ++streams;
    }
    struct Sent {
      std::uint64_t state = 0;  // sequence of the last state sent
      std::uint64_t log = 0;    // number of the next log line to send
      std::chrono::steady_clock::time_point ping;
    };
    auto sent = std::make_shared<Sent>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sent](std::size_t /*offset*/, httplib::DataSink& sink) {
          // A dropped stream is opened again by the browser after a second.
          std::string message = sent->state == 0 ? "retry: 1000\n\n" : "";
          const auto now = std::chrono::steady_clock::now();
          if (sent->state == 0) sent->ping = now + kStreamPing;
          {
            std::unique_lock<std::mutex> hold(lock);
            publishedSignal.wait_for(hold, kStreamLook, [&] {
              return stopping || sequence != sent->state || logCount != sent->log;
            });
            if (stopping) return false;
            if (sequence != sent->state) {
              message += "event: state\ndata: " + state + "\n\n";
              sent->state = sequence;
            }
            const std::string lines = logSince(sent->log);
            if (!lines.empty()) message += "event: log\ndata: " + lines + "\n\n";
          }
          if (message.empty() && now >= sent->ping) message = ": ping\n\n";
          if (!message.empty()) {
            sent->ping = now + kStreamPing;
            return sink.write(message.data(), message.size());
          }
          // Nothing to send: a page that went away gives its slot back now.
          return !sink.is_writable || sink.is_writable();
        },
        [this](bool /*success*/) {
          std::lock_guard<std::mutex> hold(lock);
          --streams;
        });
  });
}

WebUi::WebUi(JGraph& graph, WebUiHooks hooks)
    : shared_(std::make_shared<Shared>(graph, std::move(hooks))) {}

WebUi::~WebUi() {
  stop();
}

std::string WebUi::start(const std::string& address, int port) {
  Shared& s = *shared_;
  const bool v6 = address.find(':') != std::string::npos;
  const bool any = address == "0.0.0.0" || address == "::";
  s.urlHost = any ? "127.0.0.1" : v6 ? "[" + address + "]" : address;
  PageServer::Limits limits;
  limits.threads = kMaxStreams + 8;  // every stream holds one
  s.server = std::make_unique<PageServer>(limits);
  PageServer& server = *s.server;
  // The library's default shares the port (SO_REUSEPORT): a second server on
  // it would take half the requests. Only a closed connection's port is reused.
  server.set_socket_options([](int fd) {
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_payload_max_length(kMaxBodyBytes);
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
  shared_->markDirty();
}

void WebUi::repainted(JModuleObj& box) {
  shared_->snapshot.markRepainted(box);
  shared_->markDirty();
}

void WebUi::received(const JModuleObj& box, int port, const std::string& text) {
  Shared& s = *shared_;
  std::string line = "port " + std::to_string(port) + " received " + GraphSnapshot::shownText(text);
  {
    std::lock_guard<std::mutex> hold(s.lock);
    ++s.requests[&box];
    s.logLines.push_back(std::move(line));
    if (s.logLines.size() > kLogKept) s.logLines.pop_front();
    ++s.logCount;
  }
  s.markDirty();
}
