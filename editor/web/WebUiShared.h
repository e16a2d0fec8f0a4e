#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "GraphSnapshot.h"
#include "WebAccess.h"
#include "WebUi.h"

namespace httplib {
class Server;
class ContentReader;
struct Request;
struct Response;
}  // namespace httplib
class GraphEditor;
class PageServer;

// The state the HTTP threads, the publisher thread and the host thread share.
struct WebUi::Shared : std::enable_shared_from_this<WebUi::Shared> {
  // Event streams open at once; each holds an HTTP thread.
  static constexpr int kMaxStreams = 8;

  Shared(JGraph& graph, GraphEditor& editor, WebUiHooks hooks);

  // Host thread: takes a new snapshot of the graph, keeps what changed for
  // the streams and wakes them.
  void publish();
  // Host thread: the graph's whole state now, for one request.
  std::string takeState();
  // With lock held: the kept log lines from number next on, as the data of
  // a log event, or an empty string when there are none; next moves on.
  std::string logSince(std::uint64_t& next) const;
  // Publisher thread: asks the host thread for at most 30 snapshots a second.
  void runPublisher();
  void markDirty();
  // Any thread: box handed on output; a server's text is one received.
  void touchedBy(const JModuleObj& box, int output);

  struct Outcome {
    int status = 200;
    std::string body;  // JSON
  };
  // HTTP thread: runs work on the host thread and waits for it (bounded).
  Outcome runOnHost(std::function<Outcome()> work);
  using Json = nlohmann::json;
  using Handler = std::function<void(const httplib::Request&, httplib::Response&,
                                     const httplib::ContentReader&)>;
  // A POST route that reads a JSON object of at most limit bytes and runs
  // edit with it on the host thread.
  Handler onHost(std::function<Outcome(const Json&)> edit, std::size_t limit = 16 * 1024);
  // Adds the routes of the page and of its API.
  void addRoutes(httplib::Server& server);
  void addEditRoutes(httplib::Server& server);
  void addGraphEditRoutes(httplib::Server& server);
  void addEventRoute(httplib::Server& server);

  JGraph& graph;
  GraphEditor& editor;
  WebUiHooks hooks;
  GraphSnapshot snapshot;             // host thread only
  std::unique_ptr<WebAccess> access;  // set before the server starts, then read only
  std::string urlHost;                // likewise

  std::atomic<bool> stopping{false};
  std::mutex lock;                          // guards everything below
  std::condition_variable changedSignal;    // to the publisher
  std::condition_variable publishedSignal;  // to the event streams
  std::atomic<bool> dirty{false};           // something changed since the last snapshot
  bool buildQueued = false;
  std::uint64_t sequence = 0;            // of the last snapshot
  std::string state;                     // a whole JSON, taken when asked
  std::uint64_t stateSequence = 0;       // the snapshot state shows
  std::set<const JModuleObj*> touched;   // boxes that handed on a value since the last snapshot
  std::atomic<std::uint64_t> rounds{0};  // snapshots taken
  std::deque<std::pair<std::uint64_t, std::string>> changes;  // the last ones, by sequence
  std::map<int, GraphSnapshot::Image> images;                 // of the last snapshot, by box number
  std::deque<std::string> logLines;                           // the last lines received
  std::uint64_t logCount = 0;                                 // lines received in all
  std::map<const JModuleObj*, long> requests;                 // texts received per box
  int streams = 0;

  std::unique_ptr<PageServer> server;  // host thread
  std::thread listener;
  std::thread publisher;
  int port = 0;
};
