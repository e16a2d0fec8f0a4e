#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "GraphSnapshot.h"
#include "JGraph.h"

class GraphEditor;
class HostCalls;
class RouteTable;

// What the page shows, kept live: a snapshot of the graph taken on the host
// thread whenever something changed (at most 30 a second), each change
// streamed to every open page, the whole state for a page that asks, the
// boxes' pictures and the log's lines.
class LiveView : public std::enable_shared_from_this<LiveView> {
 public:
  // Event streams open at once; each holds an HTTP thread.
  static constexpr int kMaxStreams = 8;

  LiveView(JGraph& graph, const GraphEditor& editor, GraphSnapshot::StateOf stateOf, bool canSave);
  ~LiveView();
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;

  // Adds /api/graph, /api/box/N.png and /api/events; calls must outlive
  // the server that serves them.
  void addRoutes(RouteTable& routes, const HostCalls& calls);
  // Host thread: takes the first snapshot, then follows the graph.
  void start();
  // Host thread: ends the publisher and every stream's wait.
  void stop();

  // Something the page shows may have changed. Any thread.
  void markDirty();
  // Any box may have been edited (its ports, its class). Any thread.
  void markEdited();
  // Host thread: the settings of box number changed.
  void markBoxEdited(int number);
  // Host thread: box painted itself again.
  void markRepainted(const JModuleObj& box);
  // A line of the page's log. Any thread.
  void addLogLine(std::string line);

 private:
  // Host thread: takes a new snapshot, keeps what changed for the streams
  // and wakes them.
  void publish();
  // Host thread: the graph's whole state now, for one request.
  std::string takeState();
  // With lock_ held: the kept log lines from number next on, as the data of
  // a log event, or an empty string when there are none; next moves on.
  std::string logSince(std::uint64_t& next) const;
  // Publisher thread: asks the host thread for at most 30 snapshots a second.
  void runPublisher();
  // Any thread: box handed on output; a server's text is one received.
  void touchedBy(const JModuleObj& box, int output);
  void addEventRoute(RouteTable& routes, const HostCalls& calls);

  JGraph& graph_;
  GraphSnapshot snapshot_;  // host thread only
  std::atomic<bool> stopping_{false};
  std::atomic<bool> dirty_{false};        // something changed since the last snapshot
  std::atomic<std::uint64_t> rounds_{0};  // snapshots taken

  mutable std::mutex lock_;                  // guards everything below
  std::condition_variable changedSignal_;    // to the publisher
  std::condition_variable publishedSignal_;  // to the event streams
  bool buildQueued_ = false;
  std::uint64_t sequence_ = 0;           // of the last snapshot
  std::string state_;                    // a whole JSON, taken when asked
  std::uint64_t stateSequence_ = 0;      // the snapshot state_ shows
  std::set<const JModuleObj*> touched_;  // boxes that handed on a value since the last snapshot
  std::deque<std::pair<std::uint64_t, std::string>> changes_;  // the last ones, by sequence
  std::map<int, GraphSnapshot::Image> images_;                 // of the last snapshot, by box
  std::deque<std::string> logLines_;                           // the last lines
  std::uint64_t logCount_ = 0;                                 // lines in all
  std::map<const JModuleObj*, long> requests_;                 // texts received per box
  int streams_ = 0;

  std::thread publisher_;
};
