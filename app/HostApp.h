#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "JGraph.h"
#include "ModuleLibrary.h"
#include "Options.h"
#include "WebUi.h"

class JIntegerSource;

// The running application: the module library, the graph around the Qeno
// Server boxes, and the host thread's loop over standard input, signals and
// the graph's events.
class HostApp {
 public:
  explicit HostApp(Options options);
  ~HostApp();
  HostApp(const HostApp&) = delete;
  HostApp& operator=(const HostApp&) = delete;

  // The whole life of the application; returns the exit code.
  int run();

 private:
  // One Qeno Server box and the host sources wired to its inputs.
  struct Server {
    JModuleObj* box = nullptr;
    JIntegerSource* enable = nullptr;  // linked to "readInput"
    JIntegerSource* reply = nullptr;   // linked to "sendOutput"
    int startedPort = 0;               // port when last enabled from here
  };

  bool setUp();
  void buildDefaultGraph();
  void findServers();
  bool applyOptions();
  void wireSinks();
  bool startServers();
  int loop();
  bool finish();

  void runCommand(const std::string& line);
  void printProperties(JModuleObj& box);
  void printStatus();
  int stateOf(const Server& server);
  void makeWebUi();
  bool startWebUi();
  void enable(Server& server, int value);
  void onRepaint(JModuleObj& box);
  std::string renderPathFor(const JModuleObj& box) const;
  int portOf(JModuleObj& box);

  Options options_;
  std::unique_ptr<ModuleLibrary> library_;  // outlives the graph: the boxes' code is in it
  std::unique_ptr<JGraph> graph_;
  std::unique_ptr<WebUi> web_;  // with --ui; goes before the graph
  std::vector<Server> servers_;
  std::size_t selected_ = 0;
  bool quit_ = false;
  int signalFd_ = -1;

  std::mutex listenLock_;                                   // guards listenResults_
  std::vector<std::pair<int, std::string>> listenResults_;  // first listens only
  std::atomic<bool> started_{false};                        // set once the first listens are in
};
