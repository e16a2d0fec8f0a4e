#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "JGraph.h"
#include "ModuleSearch.h"
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
    bool renderFailing = false;        // its last render failed and was told
  };

  bool setUp();
  void buildDefaultGraph();
  void findServers();
  bool applyOptions();
  void wireSinks();
  bool startServers();
  bool checkOutputFiles();
  bool tellStartup();
  int loop();
  void autosave();
  bool finish();
  void saveFallback();

  // One command of standard input: how `help` shows it (help is null for an
  // alias it leaves out), and what it does with the rest of the line.
  struct Command {
    const char* name;
    const char* arguments;
    const char* help;
    void (HostApp::*handler)(const std::string& rest);
  };
  static const std::vector<Command>& commands();
  void runCommand(const std::string& line);
  bool needNumber(const std::string& command, const std::string& rest, int& value);
  void helpCommand(const std::string& rest);
  void quitCommand(const std::string& rest);
  void replyCommand(const std::string& rest);
  void enableCommand(const std::string& rest);
  void setCommand(const std::string& rest);
  void propsCommand(const std::string& rest);
  void stopCommand(const std::string& rest);
  void shutdownCommand(const std::string& rest);
  void statusCommand(const std::string& rest);
  void outputsCommand(const std::string& rest);
  void saveCommand(const std::string& rest);
  void renderCommand(const std::string& rest);
  void serverCommand(const std::string& rest);
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
  std::unique_ptr<ModuleSet> modules_;  // outlives the graph: the boxes' code is in it
  std::unique_ptr<JGraph> graph_;
  std::unique_ptr<WebUi> web_;  // with --ui; goes before the graph
  std::vector<Server> servers_;
  std::size_t selected_ = 0;
  bool quit_ = false;
  int signalFd_ = -1;

  std::mutex listenLock_;                                   // guards listenResults_
  std::vector<std::pair<int, std::string>> listenResults_;  // first listens only
  std::atomic<bool> started_{false};                        // set once the first listens are in

  // Saving on change (host thread): the graph's change count at the last
  // save, and when the next save is due while changes wait.
  std::uint64_t savedChanges_ = 0;
  std::optional<std::chrono::steady_clock::time_point> saveDue_;
  bool autosaveFailing_ = false;
};
