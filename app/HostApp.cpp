#include "HostApp.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sstream>

#include "BoxRenderer.h"
#include "Console.h"
#include "GraphFile.h"
#include "HostModules.h"
#include "JComponent.h"
#include "JRegistry.h"
#include "JSocket.h"
#include "PropertySheet.h"

namespace {

constexpr const char* kServerClass = "QenoServer";
constexpr int kStartupWaitMs = 5000;
constexpr std::size_t kLongestCommand = std::size_t{64} * 1024;

const char* const kHelp =
    "commands:\n"
    "  reply N          number sent in every reply (input sendOutput)\n"
    "  enable N         value on input readInput: non-zero starts the server\n"
    "  set NAME VALUE   edit a property (see props)\n"
    "  props            show the property sheet\n"
    "  stop             stop the server and wait for it\n"
    "  shutdown         mark the server idle and drop its client\n"
    "  status           server state, square colour, port\n"
    "  save FILE        save the graph\n"
    "  render FILE      render the box to a PNG file\n"
    "  server [N]       list the servers, or act on server N from now on\n"
    "  help             this list\n"
    "  quit             stop everything and exit";

bool parseInt(const std::string& text, int& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  auto [end, problem] = std::from_chars(first, last, value);
  return problem == std::errc() && end == last && first != last;
}

bool isServer(const JModuleObj& box) {
  return std::string(box.className()) == kServerClass;
}

}  // namespace

HostApp::HostApp(Options options) : options_(std::move(options)) {}

HostApp::~HostApp() {
  SocketSettings::setListenObserver(nullptr);
  web_.reset();
  graph_.reset();  // before the library that holds the boxes' code
  library_.reset();
  if (signalFd_ >= 0) ::close(signalFd_);
  JImage::releaseCaches();
}

int HostApp::run() {
  if (!setUp()) return 1;
  if (options_.listProperties) {
    for (std::size_t i = 0; i < servers_.size(); ++i) {
      if (servers_.size() > 1) console::out("server " + std::to_string(i) + ":");
      printProperties(*servers_[i].box);
    }
    return 0;
  }
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

  const std::string path = options_.modulePath.empty()
                               ? ModuleLibrary::besideExecutable(QENO_MODULE_FILE)
                               : options_.modulePath;
  try {
    library_ = std::make_unique<ModuleLibrary>(path);
  } catch (const std::exception& e) {
    console::err(e.what());
    return false;
  }
  if (!JRegistry::instance().contains(kServerClass)) {
    console::err(path + " does not provide the class " + kServerClass);
    return false;
  }
  registerHostModules();

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
    auto* sink = dynamic_cast<JTextSink*>(link->getTarget());
    if (sink == nullptr || !isServer(*link->getSource())) continue;
    const int port = portOf(*link->getSource());
    const JModuleObj* box = link->getSource();
    WebUi* web = web_.get();
    // Runs on the worker that received the chunk.
    sink->setHandler([port, box, web](const std::string& text) {
      console::out("received (port " + std::to_string(port) + "): " + JComponent::escape(text));
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
  bool ok = true;
  {
    std::lock_guard<std::mutex> hold(listenLock_);
    for (const auto& [port, error] : listenResults_) {
      if (error.empty()) {
        console::out("listening on " + options_.bindAddress + " port " + std::to_string(port));
      } else {
        console::err("cannot listen on port " + std::to_string(port) + ": " + error);
        ok = false;
      }
    }
    listenResults_.clear();
  }
  started_ = true;
  for (Server& server : servers_) onRepaint(*server.box);
  return ok;
}

int HostApp::loop() {
  const bool interactive = ::isatty(STDIN_FILENO) != 0;
  console::setInteractive(interactive);
  console::prompt();
  bool inputOpen = true;
  std::string pending;
  while (!quit_) {
    pollfd fds[3] = {{graph_->eventFd(), POLLIN, 0},
                     {signalFd_, POLLIN, 0},
                     {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    int ready = ::poll(fds, 3, -1);
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
        runCommand(line);
        if (web_) web_->changed();
        if (!quit_) console::prompt();
      }
    }
  }
  return 0;
}

bool HostApp::finish() {
  if (web_) web_->stop();
  graph_->stopAll();
  graph_->processEvents();
  if (options_.saveFile.empty()) return true;
  try {
    saveGraphFile(*graph_, options_.saveFile);
    console::out("saved the graph to " + options_.saveFile);
    return true;
  } catch (const std::exception& e) {
    console::err(e.what());
    return false;
  }
}

void HostApp::runCommand(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  if (!(words >> command)) return;
  std::string rest;
  std::getline(words >> std::ws, rest);
  Server& server = servers_[selected_];

  auto needNumber = [&](int& value) {
    if (parseInt(rest, value)) return true;
    console::err(command + " takes a whole number, not '" + JComponent::escape(rest) + "'");
    return false;
  };

  if (command == "help") {
    console::out(kHelp);
  } else if (command == "quit" || command == "exit") {
    quit_ = true;
  } else if (command == "reply") {
    int value = 0;
    if (!needNumber(value)) return;
    if (server.reply == nullptr) return console::err("no source is linked to sendOutput");
    server.reply->setValue(value);
  } else if (command == "enable") {
    int value = 0;
    if (!needNumber(value)) return;
    if (server.enable == nullptr) return console::err("no source is linked to readInput");
    enable(server, value);
  } else if (command == "set") {
    std::istringstream parts(rest);
    std::string name;
    parts >> name;
    std::string value;
    std::getline(parts >> std::ws, value);
    if (name.empty()) return console::err("set takes NAME VALUE");
    std::string error;
    if (!editProperty(*server.box, name, value, error)) return console::err(error);
  } else if (command == "props") {
    printProperties(*server.box);
  } else if (command == "stop") {
    server.box->stop();
  } else if (command == "shutdown") {
    server.box->shutdown();
  } else if (command == "status") {
    printStatus();
  } else if (command == "save" || command == "render") {
    if (rest.empty()) return console::err(command + " takes a FILE");
    if (command == "render") {
      std::string error = renderModuleToPng(*server.box, rest);
      if (!error.empty()) return console::err(error);
      return console::out("rendered the box to " + rest);
    }
    try {
      saveGraphFile(*graph_, rest);
      console::out("saved the graph to " + rest);
    } catch (const std::exception& e) {
      console::err(e.what());
    }
  } else if (command == "server") {
    if (rest.empty()) {
      for (std::size_t i = 0; i < servers_.size(); ++i) {
        console::out((i == selected_ ? "* " : "  ") + std::to_string(i) + ": port " +
                     std::to_string(portOf(*servers_[i].box)));
      }
      return;
    }
    int index = 0;
    if (!parseInt(rest, index) || index < 0 || static_cast<std::size_t>(index) >= servers_.size()) {
      return console::err("server takes a number from 0 to " + std::to_string(servers_.size() - 1));
    }
    selected_ = static_cast<std::size_t>(index);
  } else {
    console::err("unknown command '" + JComponent::escape(command) + "'; type help");
  }
}

void HostApp::enable(Server& server, int value) {
  if (value != 0) server.startedPort = portOf(*server.box);
  server.enable->setValue(value);
}

void HostApp::printProperties(JModuleObj& box) {
  for (const PropertyRow& row : listProperties(box)) {
    std::string text = row.name;
    text.resize(std::max<std::size_t>(text.size() + 1, 20), ' ');
    std::string value = JComponent::escape(row.value);
    if (row.isInteger) {
      value.resize(std::max<std::size_t>(value.size() + 1, 12), ' ');
      value += std::to_string(row.lower) + ".." + std::to_string(row.upper);
    }
    console::out(text + value);
  }
}

int HostApp::stateOf(const Server& server) {
  const int port = server.startedPort;
  if (port != 0 && SocketCensus::connections(port) > 0) return 2;
  if (port != 0 && SocketCensus::listeners(port) > 0) return 1;
  return 0;
}

void HostApp::printStatus() {
  Server& server = servers_[selected_];
  const int port = server.startedPort;
  const int state = stateOf(server);
  static const char* const names[] = {"idle", "listening", "connected"};
  // The square is what a user sees of the connection flag.
  JImage image = renderModule(*server.box);
  const int inside = 16 + JModuleObj::depth2 + JModuleObj::depth2 / 2;
  const JColor square = image.pixel(inside, inside);
  const char* flag = square == JColor::green ? "1 (green)"
                     : square == JColor::red ? "0 (red)"
                                             : "not shown";
  console::out("server state " + std::to_string(state) + " (" + names[state] +
               "), connected flag " + flag + ", port " + std::to_string(portOf(*server.box)) +
               (state != 0 ? ", serving on " + std::to_string(port) : std::string()));
}

void HostApp::onRepaint(JModuleObj& box) {
  if (web_) web_->repainted(box);
  if (options_.renderFile.empty() || !isServer(box)) return;
  std::string error = renderModuleToPng(box, renderPathFor(box));
  if (!error.empty()) console::err(error);
}

std::string HostApp::renderPathFor(const JModuleObj& box) const {
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    if (servers_[i].box != &box || i == 0) continue;
    std::string path = options_.renderFile;
    std::size_t dot = path.rfind(".png");
    std::string suffix = "-" + std::to_string(i + 1);
    return dot == std::string::npos ? path + suffix : path.insert(dot, suffix);
  }
  return options_.renderFile;
}

int HostApp::portOf(JModuleObj& box) {
  for (const PropertyRow& row : listProperties(box)) {
    int value = 0;
    if (row.name == "port" && parseInt(row.value, value)) return value;
  }
  return 0;
}
