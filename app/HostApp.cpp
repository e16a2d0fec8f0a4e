#include "HostApp.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>

#include "Console.h"
#include "GraphFile.h"
#include "HostModules.h"
#include "JComponent.h"
#include "JRegistry.h"
#include "JSocket.h"
#include "ModuleGuard.h"
#include "ModuleLoading.h"
#include "PageGlue.h"
#include "ServerBox.h"

namespace {

// What the user sees of a text: valid UTF-8 as itself, controls escaped.
constexpr JComponent::EscapeStyle kShown = JComponent::EscapeStyle::kUtf8;

}  // namespace

HostApp::HostApp(Options options) : options_(std::move(options)) {}

HostApp::~HostApp() {
  ModuleGuard::stopWatchdog();
  commands_.reset();
  editor_.reset();
  logToPage(nullptr);
  web_.reset();
  pictures_.reset();
  saver_.reset();
  servers_.reset();
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
    for (std::size_t i = 0; i < servers_->size(); ++i) {
      if (servers_->size() > 1) console::out("server " + std::to_string(i) + ":");
      Commands::printProperties(*(*servers_)[i].box);
    }
    return 0;
  }
  if (!saver_->checkWritable() || !pictures_->checkWritable()) return 1;
  const bool started = servers_->start();
  for (const ServerSet::Server& server : servers_->all()) onRepaint(*server.box);
  // A server that cannot listen ends the host, which a service manager
  // then tells; with the page, it is shown there, and the page mends it.
  if ((!started && !web_) || (web_ && !startPage(*web_, options_))) {
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
  ModuleGuard::installCrashReporter();
  // A crash is recorded beside the saved graph, so that the next start
  // (a service manager's restart) holds that box rather than crash again.
  if (!options_.saveFile.empty()) {
    held_ = HeldBoxes(CrashRecord::besideSavedGraph(options_.saveFile));
    ModuleGuard::recordCrashesIn(held_.recordPath());
  }
  ModuleGuard::startWatchdog();

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

  registerHostModules();  // first, so no module can take the host's own class names
  modules_ = loadModules(options_);
  if (!modules_) return false;
  if (options_.listClasses) return true;
  if (!loadGraph()) return false;

  saver_ = std::make_unique<GraphSaver>(*graph_, options_.saveFile);
  pictures_ = std::make_unique<BoxPictures>(*servers_, options_.renderFile);
  editor_ = std::make_unique<GraphEditor>(*graph_);
  if (options_.ui) {
    web_ = makePage(*graph_, *editor_, *servers_, *saver_);
    logToPage(web_.get());
  }
  servers_->wireSinks(web_.get());
  // An edit may add, remove or relink servers and their sources.
  editor_->setChangeHandler([this](int edited) {
    if (std::string problem = held_.sync(*graph_); !problem.empty()) console::err(problem);
    servers_->find();
    servers_->wireSinks(web_.get());
    if (web_) web_->edited(edited);
  });
  commands_ = std::make_unique<Commands>(*servers_, *saver_, *editor_);
  graph_->setRepaintHandler([this](JModuleObj& box) { onRepaint(box); });
  return true;
}

// The graph of --graph, or the default one, with its servers found and the
// flags applied to the first.
bool HostApp::loadGraph() {
  if (!JRegistry::instance().contains(ServerBox::kClassName)) {
    console::err(missingClassMessage(*modules_, options_, ServerBox::kClassName));
    return false;
  }
  std::vector<std::string> problems;
  const std::map<int, CrashEntry> recorded = held_.read(problems);
  for (const std::string& problem : problems) console::err(problem);
  if (options_.graphFile.empty()) {
    graph_ = std::make_unique<JGraph>();
    ServerSet::buildDefaultGraph(*graph_);
  } else {
    try {
      graph_ = loadServedGraphFile(options_.graphFile, recorded);
    } catch (const std::exception& e) {
      console::err(e.what());
      return false;
    }
  }
  if (held_.enabled()) graph_->recordCrashes();
  for (const std::string& line : held_.settle(*graph_, recorded)) console::err(line);
  servers_ = std::make_unique<ServerSet>(*graph_, options_);
  // The page can build a graph from nothing; without it there is nothing to run.
  if (!servers_->find() && !options_.ui) {
    console::err(options_.graphFile + ": the graph holds no " + ServerBox::kClassName + " box");
    return false;
  }
  return servers_->applyOptions();
}

int HostApp::loop() {
  console::setInteractive(::isatty(STDIN_FILENO) != 0);
  console::prompt();
  while (!commands_->quitRequested()) {
    saver_->autosave();
    pollfd fds[3] = {{graph_->eventFd(), POLLIN, 0},
                     {signalFd_, POLLIN, 0},
                     {inputOpen_ ? STDIN_FILENO : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 3, saver_->msUntilDue().value_or(-1));
    if (ready < 0 && errno != EINTR) {
      console::err(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    if (fds[0].revents != 0) graph_->processEvents();
    if (fds[1].revents != 0) {
      signalfd_siginfo info{};
      if (::read(signalFd_, &info, sizeof info) > 0) break;
    }
    if (inputOpen_ && fds[2].revents != 0) readConsole();
  }
  return 0;
}

// One read of standard input, and every command line it completes.
void HostApp::readConsole() {
  char buffer[4096];
  const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
  if (got < 0 && errno == EINTR) return;
  if (got <= 0) {
    // End of input leaves the servers running until a signal or quit.
    inputOpen_ = false;
    return;
  }
  console_.append(buffer, static_cast<std::size_t>(got));
  std::string line;
  while (!commands_->quitRequested() && console_.next(line)) {
    try {
      commands_->run(line);
    } catch (...) {
      // A command that fails unexpectedly must not end the application.
      JComponent::debugCurrentException("command failed");
      console::err("command failed: " + JComponent::escape(line, kShown));
    }
    if (web_) web_->changed();
    if (!commands_->quitRequested()) console::prompt();
  }
}

void HostApp::onRepaint(JModuleObj& box) {
  if (web_) web_->repainted(box);
  pictures_->repainted(box);
}

bool HostApp::finish() {
  if (web_) web_->stop();
  graph_->stopAll();
  graph_->processEvents();
  return saver_->saveAtExit();
}
