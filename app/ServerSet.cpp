#include "ServerSet.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "BoxRenderer.h"
#include "Console.h"
#include "HeldBox.h"
#include "HostModules.h"
#include "JComponent.h"
#include "JRegistry.h"
#include "JSocket.h"
#include "JThread.h"
#include "ModuleGuard.h"
#include "PortQueries.h"
#include "PropertySheet.h"
#include "ServerBox.h"
#include "SocketCensus.h"
#include "WebUi.h"

namespace {

constexpr int kStartupWaitMs = 5000;
// What the user sees of a text: valid UTF-8 as itself, controls escaped.
constexpr JComponent::EscapeStyle kShown = JComponent::EscapeStyle::kUtf8;

}  // namespace

ServerSet::ServerSet(JGraph& graph, const Options& options) : graph_(graph), options_(options) {
  // Called on the worker threads, at every listen.
  SocketSettings::setListenObserver([this](int port, const std::string& error) {
    listened(dynamic_cast<const JModuleObj*>(JThread::currentTarget()), port, error);
  });
}

void ServerSet::listened(const JModuleObj* box, int port, const std::string& error) {
  if (error.empty()) {
    // A listen per request: the lock only while some box failed.
    if (anyFailure_ || !started_) {
      std::lock_guard<std::mutex> hold(listenLock_);
      if (!started_) listenResults_.push_back(ListenResult{box, port, error});
      failures_.erase(box);
      anyFailure_ = !failures_.empty();
    }
    return;
  }
  {
    std::lock_guard<std::mutex> hold(listenLock_);
    if (!started_) listenResults_.push_back(ListenResult{box, port, error});
    if (box != nullptr) failures_[box] = ListenFailure{port, error};
    anyFailure_ = !failures_.empty();
  }
  // Failures after start-up are told on the host thread, not only in the
  // debug channel; those of the start, by the start's own lines.
  if (started_) {
    graph_.post([port, error, box] {
      console::err("cannot listen on port " + std::to_string(port) + ": " + error, box);
    });
  }
}

ServerSet::~ServerSet() {
  SocketSettings::setListenObserver(nullptr);
}

int ServerSet::portOf(JModuleObj& box) {
  for (const PropertyRow& row : listProperties(box)) {
    int value = 0;
    if (row.name == "port" && parseWholeNumber(row.value, value)) return value;
  }
  return 0;
}

void ServerSet::buildDefaultGraph(JGraph& graph) {
  auto server = JRegistry::instance().create(ServerBox::kClassName);
  auto& box = graph.add(std::unique_ptr<JModuleObj>(static_cast<JModuleObj*>(server.release())));
  auto& enable = static_cast<JIntegerSource&>(graph.add(std::make_unique<JIntegerSource>()));
  auto& reply = static_cast<JIntegerSource&>(graph.add(std::make_unique<JIntegerSource>()));
  auto& sink = graph.add(std::make_unique<JTextSink>());
  box.x = 160;
  box.y = 40;
  enable.x = 180;
  enable.y = -40;
  reply.x = 20;
  reply.y = 120;
  sink.x = 380;
  sink.y = 220;
  // Serving starts with the application (start hands the value on); set
  // before linking, nothing receives it yet.
  enable.setValue(1);
  graph.link(enable, 0, box, ServerPorts::kReadInput);
  graph.link(reply, 0, box, ServerPorts::kSendOutput);
  graph.link(box, ServerPorts::kTextOutput, sink, 0);
  // Without --port, a port that needs no privileges.
  std::string error;
  editProperty(box, "port", std::to_string(kDefaultPort), error);
}

bool ServerSet::isHeld(const Server& server) {
  return dynamic_cast<const HeldBox*>(server.box) != nullptr;
}

bool ServerSet::find() {
  std::vector<Server> before = std::move(servers_);
  servers_.clear();
  for (const auto& module : graph_.modules()) {
    if (!ServerBox::is(*module)) continue;
    Server& server = servers_.emplace_back(Server{module.get()});
    for (const Server& known : before) {
      if (known.box == server.box) server.startedPort = known.startedPort;
    }
  }
  byBox_.clear();
  for (std::size_t i = 0; i < servers_.size(); ++i) byBox_[servers_[i].box] = i;
  for (const auto& link : graph_.links()) {
    auto found = byBox_.find(link->getTarget());
    if (found == byBox_.end()) continue;
    Server& server = servers_[found->second];
    if (link->getInput() == ServerPorts::kReadInput) {
      server.feeder = link->getSource();
      server.feederOutput = link->getOutput();
    }
    auto* source = dynamic_cast<JIntegerSource*>(link->getSource());
    if (source == nullptr) continue;
    if (link->getInput() == ServerPorts::kReadInput) server.enable = source;
    if (link->getInput() == ServerPorts::kSendOutput) server.reply = source;
  }
  return !servers_.empty();
}

bool ServerSet::applyOptions() {
  std::vector<std::pair<std::string, std::string>> edits;
  if (options_.port) edits.emplace_back("port", std::to_string(*options_.port));
  if (options_.hostName) edits.emplace_back("hostName/IPaddress", *options_.hostName);
  if (options_.url) edits.emplace_back("url", *options_.url);
  for (const auto& setting : options_.settings) edits.push_back(setting);
  if (servers_.empty()) {
    if (edits.empty() && !options_.reply) return true;
    console::err("server flags need a " + std::string(ServerBox::kClassName) +
                 " box, and the graph has none");
    return false;
  }
  JModuleObj& box = *servers_.front().box;
  if (isHeld(servers_.front()) && !edits.empty()) {
    // Its stand-in has no sheet; the rest of the graph still serves.
    const std::string number = std::to_string(graph_.numberOf(box));
    console::err("server 0 (box " + number + ") is held since it crashed: its flags are not " +
                 "applied; release " + number + ", then set them");
    edits.clear();
  }
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

void ServerSet::wireSinks(WebUi* web) {
  for (const auto& link : graph_.links()) {
    if (!ServerBox::is(*link->getSource())) continue;
    const int port = portOf(*link->getSource());
    if (auto* values = dynamic_cast<JIntegerSink*>(link->getTarget())) {
      const std::string name = PortQueries::outputName(*link->getSource(), link->getOutput());
      // Runs on the worker that published the value.
      values->setHandler([name, port](int value) {
        console::out(name + " (port " + std::to_string(port) + "): " + std::to_string(value));
      });
      continue;
    }
    auto* sink = dynamic_cast<JTextSink*>(link->getTarget());
    if (sink == nullptr) continue;
    // Only a page shows the sink's face; without one, no repaint per text.
    sink->setRepaintOnText(web != nullptr);
    // Runs on the worker that received the chunk. The page logs every
    // text a server receives itself, sink or no sink.
    sink->setHandler([port](const std::string& text) {
      // What a link hands on as it is made, not a text received.
      if (text.empty()) return;
      console::out("received (port " + std::to_string(port) +
                   "): " + JComponent::escape(text, kShown));
    });
  }
}

bool ServerSet::start() {
  if (options_.safe) return tellStartup();
  for (const auto& module : graph_.modules()) {
    auto* source = dynamic_cast<JIntegerSource*>(module.get());
    if (source == nullptr) continue;
    bool isEnable = false;
    for (const Server& server : servers_) isEnable = isEnable || server.enable == source;
    if (!isEnable) source->setValue(source->getValue());
  }
  std::size_t expected = 0;
  for (Server& server : servers_) {
    if (server.enable == nullptr || server.enable->getValue() == 0) continue;
    // A held box runs none of its code, so it listens nowhere.
    if (isHeld(server)) continue;
    ++expected;
    enable(server, server.enable->getValue());
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartupWaitMs);
  for (;;) {
    graph_.processEvents();
    {
      std::lock_guard<std::mutex> hold(listenLock_);
      if (listenResults_.size() >= expected) break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    graph_.waitForEvents(20);
  }
  const bool ok = tellStartup();
  started_ = true;
  return ok;
}

std::string ServerSet::idleReason(const Server& server) const {
  if (options_.safe) return "--safe delivers no input";
  if (server.enable != nullptr) return "readInput is 0";
  for (const auto& link : graph_.links()) {
    if (link->getTarget() != server.box || link->getInput() != ServerPorts::kReadInput) continue;
    std::string reason = "readInput comes from a ";
    reason += link->getSource()->className();
    reason += ", which has sent no non-zero value";
    return reason;
  }
  return "readInput is not linked";
}

// One line per server: where it listens, or why it stays idle.
bool ServerSet::tellStartup() {
  std::lock_guard<std::mutex> hold(listenLock_);
  bool ok = true;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    Server& server = servers_[i];
    // By box: two servers may share a port, and only one of them listens.
    auto result =
        server.startedPort == 0
            ? listenResults_.end()
            : std::find_if(
                  listenResults_.begin(), listenResults_.end(), [&](const ListenResult& r) {
                    return r.box != nullptr ? r.box == server.box : r.port == server.startedPort;
                  });
    std::string line = "server " + std::to_string(i);
    if (isHeld(server)) {
      const std::string number = std::to_string(graph_.numberOf(*server.box));
      console::out(line + ": held (box " + number + "); release " + number + " runs it again");
      continue;
    }
    if (server.startedPort == 0) {
      line += ": idle on ";
    } else if (result == listenResults_.end()) {
      line += ": not listening yet on ";
    } else if (result->error.empty()) {
      line += ": listening on ";
    } else {
      console::err("cannot listen on port " + std::to_string(result->port) + ": " + result->error,
                   server.box);
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
    console::note(line, server.box);
    if (result != listenResults_.end()) listenResults_.erase(result);
  }
  listenResults_.clear();
  return ok;
}

void ServerSet::enable(Server& server, int value) {
  if (value != 0) server.startedPort = portOf(*server.box);
  ServerBox::setReadInput(*server.box, value);
}

void ServerSet::sourceEdited(const JModuleObj& source) {
  for (Server& server : servers_) {
    if (server.enable == &source && server.enable->getValue() != 0) {
      server.startedPort = portOf(*server.box);
    }
  }
}

// From the box's own sockets, however it was started: by its link, a
// command, the page or a value of its own.
ServerState ServerSet::stateOf(const Server& server) const {
  if (SocketCensus::connectionsOf(server.box) > 0) return ServerState::kConnected;
  if (SocketCensus::listenersOf(server.box) > 0) return ServerState::kListening;
  return ServerState::kIdle;
}

ServerState ServerSet::stateOf(const JModuleObj& box) const {
  auto found = byBox_.find(&box);
  return found == byBox_.end() ? ServerState::kIdle : stateOf(servers_[found->second]);
}

std::string ServerSet::faultLine(const JModuleObj& box) {
  auto fault = ModuleGuard::faultOf(&box);
  if (!fault) return {};
  return ModuleGuard::labelOf(&box) + " faulted in " + fault->operation + ": " +
         JComponent::escape(fault->message, kShown);
}

std::string ServerSet::statusLine(const Server& server) const {
  if (isHeld(server)) {
    const std::string number = std::to_string(graph_.numberOf(*server.box));
    return "server held (box " + number + ") since it crashed; release " + number +
           " runs it again";
  }
  const ServerState state = stateOf(server);
  // The square is what a user sees of the connection flag: the last red or
  // green rectangle the box's paint filled.
  const char* flag = "not shown";
  for (const JFilledRect& fill : paintedFills(*server.box)) {
    if (fill.color == JColor::green) flag = "1 (green)";
    if (fill.color == JColor::red) flag = "0 (red)";
  }
  return "server state " + std::to_string(static_cast<int>(state)) + " (" +
         ServerBox::stateName(state) + "), connected flag " + flag + ", port " +
         std::to_string(portOf(*server.box)) +
         (state != ServerState::kIdle
              ? ", serving on " + std::to_string(SocketCensus::portOf(server.box))
              : std::string());
}

std::optional<JBoxStatus::Line> ServerSet::boxStatus(JModuleObj& box) const {
  // A call that has not returned says more than anything the box said before it.
  for (const ModuleGuard::Hang& hang : ModuleGuard::hangs()) {
    if (hang.box == &box) {
      return JBoxStatus::Line{"still in " + hang.operation + " after " +
                                  std::to_string(static_cast<int>(hang.seconds)) + " s",
                              JStatusColour::kYellow};
    }
  }
  auto found = byBox_.find(&box);
  if (found != byBox_.end()) return serverStatus(servers_[found->second]);
  return JBoxStatus::of(box);
}

JBoxStatus::Line ServerSet::serverStatus(const Server& server) const {
  using Colour = JStatusColour;
  // Its stand-in says why it is held.
  if (isHeld(server)) {
    if (auto line = JBoxStatus::of(*server.box)) return *line;
  }
  if (auto fault = ModuleGuard::faultOf(server.box)) {
    return {"faulted in " + fault->operation + ": " + JComponent::escape(fault->message, kShown),
            Colour::kRed};
  }
  const ServerState state = stateOf(server);
  if (state != ServerState::kIdle) {
    const bool v6 = options_.bindAddress.find(':') != std::string::npos;
    const std::string where = (v6 ? "[" + options_.bindAddress + "]" : options_.bindAddress) + ":" +
                              std::to_string(SocketCensus::portOf(server.box));
    if (state == ServerState::kConnected) return {"serving a client on " + where, Colour::kBlue};
    return {"listening on " + where, Colour::kGreen};
  }
  {
    std::lock_guard<std::mutex> hold(listenLock_);
    auto failed = failures_.find(server.box);
    if (failed != failures_.end()) {
      const std::string port = "port " + std::to_string(failed->second.port);
      const std::string& error = failed->second.error;
      if (error == std::strerror(EADDRINUSE)) return {"idle: " + port + " is in use", Colour::kRed};
      if (error == std::strerror(EACCES)) {
        return {"idle: " + port + " needs privileges", Colour::kRed};
      }
      return {"idle: cannot listen on " + port + ": " + error, Colour::kRed};
    }
  }
  if (options_.safe) return {"held by --safe: no input delivered", Colour::kYellow};
  if (server.feeder == nullptr) return {"idle: readInput is not linked", Colour::kGrey};
  // What readInput holds is what its link hands on now.
  int value = 0;
  PortQueries::readOutput(*server.feeder, server.feederOutput, JIntegerData(value));
  return {value == 0 ? "idle: readInput is 0" : "idle: stopped", Colour::kGrey};
}
