#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "JBoxStatus.h"
#include "JGraph.h"
#include "Options.h"
#include "QenoServerPorts.h"

class JIntegerSource;
class WebUi;

// The QenoServer boxes of a graph and the host sources wired to their inputs:
// found once the graph is loaded, wired to the sinks that print what they
// publish, started, and reported (the start-up lines, state and status).
// Host thread, but for the listen observer the workers call.
class ServerSet {
 public:
  // One Qeno Server box and the host sources wired to its inputs.
  struct Server {
    JModuleObj* box = nullptr;
    JIntegerSource* enable = nullptr;  // linked to "readInput"
    JIntegerSource* reply = nullptr;   // linked to "sendOutput"
    JModuleObj* feeder = nullptr;      // whatever is linked to "readInput", and its output
    int feederOutput = 0;
    int startedPort = 0;  // port when last enabled from here
  };

  ServerSet(JGraph& graph, const Options& options);
  ~ServerSet();
  ServerSet(const ServerSet&) = delete;
  ServerSet& operator=(const ServerSet&) = delete;

  // The port its property sheet shows, or 0.
  static int portOf(JModuleObj& box);
  // A server held since it crashed (HeldBox): it runs none of its code.
  static bool isHeld(const Server& server);

  // The graph qeno-host serves when no graph file is given: one server fed
  // by two sources, its text output printed.
  static void buildDefaultGraph(JGraph& graph);

  // Collects the servers and their sources; false when there is none.
  bool find();
  // Flags act on the first server, checked as its property sheet would
  // check them; a refusal is told in one line.
  bool applyOptions();
  // Sinks linked to a server print what it publishes, and tell the page.
  void wireSinks(WebUi* web);
  // Hands every source's value to the graph, replies first, then the enables
  // that start the servers; waits for each server's first listen and tells
  // one line per server. False when one cannot listen.
  bool start();

  // readInput of server takes value: its source's, or its own without one.
  void enable(Server& server, int value);
  // A source edited from the page: an enable turned on starts its server.
  void sourceEdited(const JModuleObj& source);

  [[nodiscard]] ServerState stateOf(const Server& server) const;
  [[nodiscard]] ServerState stateOf(const JModuleObj& box) const;
  [[nodiscard]] std::string statusLine(const Server& server) const;
  // The line under box on the page and in `status`: a call of its code
  // still running, if one is; for a server, its state and why, composed
  // here; for any other box, its own.
  [[nodiscard]] std::optional<JBoxStatus::Line> boxStatus(JModuleObj& box) const;
  // "box 2 (Class, library) faulted in inputChanged: message", or empty.
  [[nodiscard]] static std::string faultLine(const JModuleObj& box);
  [[nodiscard]] JGraph& graph() const { return graph_; }

  [[nodiscard]] std::size_t size() const { return servers_.size(); }
  Server& operator[](std::size_t index) { return servers_[index]; }
  [[nodiscard]] const std::vector<Server>& all() const { return servers_; }

 private:
  // Why a server's listen failed.
  struct ListenFailure {
    int port = 0;
    std::string error;
  };

  bool tellStartup();
  std::string idleReason(const Server& server) const;
  JBoxStatus::Line serverStatus(const Server& server) const;
  // Worker thread: box listened on port, or failed to with error.
  void listened(const JModuleObj* box, int port, const std::string& error);

  JGraph& graph_;
  const Options& options_;
  std::vector<Server> servers_;
  std::map<const JModuleObj*, std::size_t> byBox_;  // index in servers_

  mutable std::mutex listenLock_;  // guards listenResults_, failures_
  struct ListenResult {
    const JModuleObj* box;  // null when the listen came from no box's thread
    int port;
    std::string error;
  };
  std::vector<ListenResult> listenResults_;           // first listens only
  std::map<const JObject*, ListenFailure> failures_;  // each box's last, until it listens
  std::atomic<bool> anyFailure_{false};               // failures_ is not empty
  std::atomic<bool> started_{false};                  // set once the first listens are in
};
