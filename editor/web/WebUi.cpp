#include "WebUi.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "EditRoutes.h"
#include "HostCalls.h"
#include "LiveView.h"
#include "PageAssets.h"
#include "PageServer.h"
#include "RouteTable.h"
#include "WebGate.h"

namespace {

using webrequest::kMaxGraphBodyBytes;
using webrequest::refuse;

const char* const kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace

WebUi::WebUi(JGraph& graph, GraphEditor& editor, WebUiHooks hooks)
    : graph_(graph),
      editor_(editor),
      hooks_(std::move(hooks)),
      view_(std::make_shared<LiveView>(graph, editor, hooks_.stateOf,
                                       static_cast<bool>(hooks_.save))),
      calls_(std::make_unique<HostCalls>(graph, [view = view_] { view->markDirty(); })),
      routes_(std::make_unique<RouteTable>()),
      edits_(std::make_unique<EditRoutes>(graph, editor, *calls_, hooks_)) {
  addPageRoutes();
  view_->addRoutes(*routes_, *calls_);
  edits_->addTo(*routes_);
}

WebUi::~WebUi() {
  stop();
}

void WebUi::addPageRoutes() {
  routes_->get("/", [](const httplib::Request& req, httplib::Response& res) {
    if (req.has_param("token")) {
      // The cookie now carries the token; keep it out of the address bar.
      res.set_redirect("/", 303);
      return;
    }
    const PageAsset* page = findPageAsset("/index.html");
    res.set_header("Content-Security-Policy", kSecurityPolicy);
    res.set_content(std::string(page->bytes), std::string(page->type));
  });
  routes_->get(R"(/([a-z]{1,64}\.(js|css)))",
               [](const httplib::Request& req, httplib::Response& res) {
                 const PageAsset* asset = findPageAsset(req.path);
                 if (asset == nullptr) return refuse(res, 404, "no such page");
                 res.set_content(std::string(asset->bytes), std::string(asset->type));
               });
}

std::string WebUi::start(const std::string& address, int port) {
  const bool v6 = address.find(':') != std::string::npos;
  PageServer::Limits limits;
  limits.threads = LiveView::kMaxStreams + 8;  // every stream holds one
  server_ = std::make_unique<PageServer>(limits);
  PageServer& server = *server_;
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
    server_.reset();
    return "cannot serve the editor page on " + where + ": " +
           (errno != 0 ? std::strerror(errno) : "bind failed");
  }
  server.widenBacklog();
  port_ = bound;
  gate_ = std::make_unique<WebGate>(address, bound, *routes_);
  gate_->installOn(server);
  routes_->installOn(server);
  view_->start();
  listener_ = std::thread([&server] { server.listen_after_bind(); });
  // The server's stop() does nothing until its loop runs: wait for it, so a
  // stop right after start cannot leave the loop running.
  for (int waited = 0; !server.is_running() && waited < 5000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return {};
}

void WebUi::stop() {
  if (!server_) return;
  calls_->stop();
  view_->stop();
  server_->stop();
  if (listener_.joinable()) listener_.join();
  server_.reset();
}

int WebUi::port() const {
  return port_;
}

std::string WebUi::url() const {
  return gate_->url();
}

void WebUi::changed() {
  view_->markEdited();
}

void WebUi::edited(int edited) {
  if (edited >= 0) {
    view_->markBoxEdited(edited);
  } else {
    view_->markDirty();
  }
}

void WebUi::repainted(JModuleObj& box) {
  view_->markRepainted(box);
}

void WebUi::received(const JModuleObj& /*box*/, int port, const std::string& text) {
  view_->addLogLine("port " + std::to_string(port) + " received " + GraphSnapshot::shownText(text));
}
