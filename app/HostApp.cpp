#include "HostApp.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "BoxRenderer.h"
#include "Console.h"
#include "GraphFile.h"
#include "HostModules.h"
#include "JComponent.h"
#include "JRegistry.h"
#include "JSocket.h"
#include "ModuleLoading.h"
#include "PropertySheet.h"

namespace {

constexpr const char* kServerClass = "QenoServer";
constexpr int kStartupWaitMs = 5000;
constexpr std::size_t kLongestCommand = std::size_t{64} * 1024;
// What the user sees of a text: valid UTF-8 as itself, controls escaped.
constexpr JComponent::EscapeStyle kShown = JComponent::EscapeStyle::kUtf8;

bool isServer(const JModuleObj& box) {
  return std::string(box.className()) == kServerClass;
}

}  // namespace

HostApp::HostApp(Options options) : options_(std::move(options)) {}

HostApp::~HostApp() {
  SocketSettings::setListenObserver(nullptr);
  web_.reset();
  graph_.reset();  // before the library that holds the boxes' code
  modules_.reset();
  if (signalFd_ >= 0) ::close(signalFd_);
  JImage::releaseCaches();
}

int HostApp::run() {
  if (!setUp()) return 1;
  if (options_.listClasses) {
    printClasses(*modules_);
    return 0;
  }
  if (options_.listProperties) {
    for (std::size_t i = 0; i < servers_.size(); ++i) {
      if (servers_.size() > 1) console::out("server " + std::to_string(i) + ":");
      printProperties(*servers_[i].box);
    }
    return 0;
  }
  if (!checkOutputFiles()) return 1;
  if (!startServers() || !startWebUi()) {
    graph_->stopAll();
    return 1;
  }
  const int code = loop();
  return finish() ? code : 1;
}

bool HostApp::setUp() {
  // Signals arrive through a descriptor the loop polls; block them before
  // any thread starts so every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // A closed terminal or a dropped ssh session ends the application as
  // SIGTERM does: stopped and saved.
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signalFd_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  ::signal(SIGPIPE, SIG_IGN);

  if (options_.quiet) {
    JComponent::debugSilence();
  } else if (!options_.debugLog.empty()) {
    std::string error;
    if (!JComponent::debugToFile(options_.debugLog, error)) {
      console::err(error);
      return false;
    }
  }
  SocketSettings settings = SocketSettings::current();
  settings.bindAddress = options_.bindAddress;
  settings.idleTimeoutMs = static_cast<int>(std::lround(options_.clientTimeoutSeconds * 1000));
  SocketSettings::apply(settings);
  // Called on the worker threads, at every listen.
  SocketSettings::setListenObserver([this](int port, const std::string& error) {
    if (!started_) {
      std::lock_guard<std::mutex> hold(listenLock_);
      listenResults_.emplace_back(port, error);
      return;
    }
    // Failures after start-up are told on the host thread, not only in the
    // debug channel.
    if (!error.empty() && graph_) {
      graph_->post([port, error] {
        console::err("cannot listen on port " + std::to_string(port) + ": " + error);
      });
    }
  });

  registerHostModules();  // first, so no module can take the host's own class names
  modules_ = loadModules(options_);
  if (!modules_) return false;
  if (options_.listClasses) return true;
  if (!JRegistry::instance().contains(kServerClass)) {
    console::err(missingClassMessage(*modules_, options_, kServerClass));
    return false;
  }

  if (options_.graphFile.empty()) {
    buildDefaultGraph();
  } else {
    try {
      graph_ = loadGraphFile(options_.graphFile);
    } catch (const std::exception& e) {
      console::err(e.what());
      return false;
    }
  }
  findServers();
  if (servers_.empty()) {
    console::err(options_.graphFile + ": the graph holds no " + kServerClass + " box");
    return false;
  }
  if (!applyOptions()) return false;
  if (options_.ui) makeWebUi();
  wireSinks();
  graph_->setRepaintHandler([this](JModuleObj& box) { onRepaint(box); });
  return true;
}

void HostApp::buildDefaultGraph() {
  graph_ = std::make_unique<JGraph>();
  auto server = JRegistry::instance().create(kServerClass);
  auto& box = graph_->add(std::unique_ptr<JModuleObj>(static_cast<JModuleObj*>(server.release())));
  auto& enable = static_cast<JIntegerSource&>(graph_->add(std::make_unique<JIntegerSource>()));
  auto& reply = static_cast<JIntegerSource&>(graph_->add(std::make_unique<JIntegerSource>()));
  auto& sink = graph_->add(std::make_unique<JTextSink>());
  box.x = 160;
  box.y = 40;
  enable.x = 180;
  enable.y = -40;
  reply.x = 20;
  reply.y = 120;
  sink.x = 380;
  sink.y = 220;
  // Serving starts with the application (startServers hands the value on);
  // set before linking, nothing receives it yet.
  enable.setValue(1);
  graph_->link(enable, 0, box, 0);
  graph_->link(reply, 0, box, 1);
  graph_->link(box, 29, sink, 0);
  // Without --port, a port that needs no privileges.
  std::string error;
  editProperty(box, "port", std::to_string(kDefaultPort), error);
}

void HostApp::findServers() {
  servers_.clear();
  for (const auto& module : graph_->modules()) {
    if (isServer(*module)) servers_.push_back(Server{module.get()});
  }
  for (const auto& link : graph_->links()) {
    auto* source = dynamic_cast<JIntegerSource*>(link->getSource());
    if (source == nullptr) continue;
    for (Server& server : servers_) {
      if (link->getTarget() != server.box) continue;
      if (link->getInput() == 0) server.enable = source;
      if (link->getInput() == 1) server.reply = source;
    }
  }
}

// Flags act on the first server of the graph, checked as its property sheet
// would check them.
bool HostApp::applyOptions() {
  JModuleObj& box = *servers_.front().box;
  std::vector<std::pair<std::string, std::string>> edits;
  if (options_.port) edits.emplace_back("port", std::to_string(*options_.port));
  if (options_.hostName) edits.emplace_back("hostName/IPaddress", *options_.hostName);
  if (options_.url) edits.emplace_back("url", *options_.url);
  for (const auto& setting : options_.settings) edits.push_back(setting);
  for (const auto& [name, value] : edits) {
    std::string error;
    if (!editProperty(box, name, value, error)) {
      console::err(error);
      return false;
    }
  }
  if (options_.reply) {
    if (servers_.front().reply == nullptr) {
      console::err("--reply: no source is linked to sendOutput of the first server");
      return false;
    }
    servers_.front().reply->setValue(*options_.reply);
  }
  return true;
}

void HostApp::wireSinks() {
  for (const auto& link : graph_->links()) {
    if (!isServer(*link->getSource())) continue;
    const int port = portOf(*link->getSource());
    if (auto* values = dynamic_cast<JIntegerSink*>(link->getTarget())) {
      const std::string name = link->getSource()->outputName(link->getOutput()).str();
      // Runs on the worker that published the value.
      values->setHandler([name, port](int value) {
        console::out(name + " (port " + std::to_string(port) + "): " + std::to_string(value));
      });
      continue;
    }
    auto* sink = dynamic_cast<JTextSink*>(link->getTarget());
    if (sink == nullptr) continue;
    const JModuleObj* box = link->getSource();
    WebUi* web = web_.get();
    // Only a page shows the sink's face; without one, no repaint per text.
    sink->setRepaintOnText(web != nullptr);
    // Runs on the worker that received the chunk.
    sink->setHandler([port, box, web](const std::string& text) {
      console::out("received (port " + std::to_string(port) +
                   "): " + JComponent::escape(text, kShown));
      if (web != nullptr) web->received(*box, port, text);
    });
  }
}

// Hands every source's value to the graph, replies first, then the enables
// that start the servers, and waits for each server's first listen.
bool HostApp::startServers() {
  for (const auto& module : graph_->modules()) {
    auto* source = dynamic_cast<JIntegerSource*>(module.get());
    if (source == nullptr) continue;
    bool isEnable = false;
    for (const Server& server : servers_) isEnable = isEnable || server.enable == source;
    if (!isEnable) source->setValue(source->getValue());
  }
  std::size_t expected = 0;
  for (Server& server : servers_) {
    if (server.enable == nullptr || server.enable->getValue() == 0) continue;
    ++expected;
    enable(server, server.enable->getValue());
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartupWaitMs);
  for (;;) {
    graph_->processEvents();
    {
      std::lock_guard<std::mutex> hold(listenLock_);
      if (listenResults_.size() >= expected) break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    graph_->waitForEvents(20);
  }
  const bool ok = tellStartup();
  started_ = true;
  for (Server& server : servers_) onRepaint(*server.box);
  return ok;
}

// One line per server: where it listens, or why it stays idle.
bool HostApp::tellStartup() {
  auto idleReason = [this](const Server& server) -> std::string {
    if (server.enable != nullptr) return "readInput is 0";
    for (const auto& link : graph_->links()) {
      if (link->getTarget() != server.box || link->getInput() != 0) continue;
      std::string reason = "readInput comes from a ";
      reason += link->getSource()->className();
      reason += ", which has sent no non-zero value";
      return reason;
    }
    return "readInput is not linked";
  };
  std::lock_guard<std::mutex> hold(listenLock_);
  bool ok = true;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    Server& server = servers_[i];
    auto result = server.startedPort == 0
                      ? listenResults_.end()
                      : std::find_if(listenResults_.begin(), listenResults_.end(),
                                     [&](const auto& r) { return r.first == server.startedPort; });
    std::string line = "server " + std::to_string(i);
    if (server.startedPort == 0) {
      line += ": idle on ";
    } else if (result == listenResults_.end()) {
      line += ": not listening yet on ";
    } else if (result->second.empty()) {
      line += ": listening on ";
    } else {
      console::err("cannot listen on port " + std::to_string(result->first) + ": " +
                   result->second);
      ok = false;
      listenResults_.erase(result);
      continue;
    }
    line += options_.bindAddress;
    line += " port ";
    line += std::to_string(server.startedPort != 0 ? server.startedPort : portOf(*server.box));
    if (server.startedPort == 0) {
      line += ": ";
      line += idleReason(server);
    }
    console::out(line);
    if (result != listenResults_.end()) listenResults_.erase(result);
  }
  listenResults_.clear();
  return ok;
}

int HostApp::loop() {
  const bool interactive = ::isatty(STDIN_FILENO) != 0;
  console::setInteractive(interactive);
  console::prompt();
  bool inputOpen = true;
  std::string pending;
  while (!quit_) {
    autosave();
    int waitMs = -1;
    if (saveDue_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *saveDue_ - std::chrono::steady_clock::now());
      waitMs = static_cast<int>(std::max<std::int64_t>(0, left.count()));
    }
    pollfd fds[3] = {{graph_->eventFd(), POLLIN, 0},
                     {signalFd_, POLLIN, 0},
                     {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    int ready = ::poll(fds, 3, waitMs);
    if (ready < 0 && errno != EINTR) {
      console::err(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    if (fds[0].revents != 0) graph_->processEvents();
    if (fds[1].revents != 0) {
      signalfd_siginfo info{};
      if (::read(signalFd_, &info, sizeof info) > 0) break;
    }
    if (inputOpen && fds[2].revents != 0) {
      char buffer[4096];
      ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        // End of input leaves the servers running until a signal or quit.
        inputOpen = false;
        continue;
      }
      pending.append(buffer, static_cast<std::size_t>(got));
      if (pending.size() > kLongestCommand && pending.find('\n') == std::string::npos) {
        // Input that never ends a line must not grow without bound.
        console::err("command line longer than " + std::to_string(kLongestCommand) +
                     " bytes ignored");
        pending.clear();
      }
      std::size_t newline = 0;
      while (!quit_ && (newline = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        try {
          runCommand(line);
        } catch (...) {
          // A command that fails unexpectedly must not end the application.
          JComponent::debugCurrentException("command failed");
          console::err("command failed: " + JComponent::escape(line, kShown));
        }
        if (web_) web_->changed();
        if (!quit_) console::prompt();
      }
    }
  }
  return 0;
}

int HostApp::portOf(JModuleObj& box) {
  for (const PropertyRow& row : listProperties(box)) {
    int value = 0;
    if (row.name == "port" && parseWholeNumber(row.value, value)) return value;
  }
  return 0;
}
