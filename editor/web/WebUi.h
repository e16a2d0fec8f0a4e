#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "GraphSnapshot.h"
#include "JGraph.h"

class EditRoutes;
class GraphEditor;
class HostCalls;
class LiveView;
class PageServer;
class RouteTable;
class WebGate;

// What the editor page needs of the application. Every hook runs on the host
// thread.
struct WebUiHooks {
  // State of a QenoServer box.
  GraphSnapshot::StateOf stateOf;
  // A change from the page was applied to box (a property, a move, a value).
  std::function<void(JModuleObj& box)> edited;
  // Saves the graph where the user asked; returns an empty string or the
  // reason. Left empty when there is nowhere to save: the page's save button
  // is then disabled.
  std::function<std::string()> save;
};

// The live editor page: an HTTP server on its own threads that shows the
// graph, streams its changes and takes edits. Its parts: the gate (who may
// ask what), the routes (one table), the live view (snapshots and streams)
// and the edits. Every edit runs on the host
// thread through the graph's event queue; the HTTP threads never touch a box.
// Create, start, stop and destroy it on the host thread, before the graph
// goes away.
class WebUi {
 public:
  // Edits from the page go through editor, one history with the console's.
  WebUi(JGraph& graph, GraphEditor& editor, WebUiHooks hooks);
  ~WebUi();
  WebUi(const WebUi&) = delete;
  WebUi& operator=(const WebUi&) = delete;

  // Serves on address (numeric) and port (0: any free port). Returns an
  // empty string or a one-line reason.
  std::string start(const std::string& address, int port);
  // Closes every connection and ends the server's threads.
  void stop();

  [[nodiscard]] int port() const;
  // The address to open, with the token.
  [[nodiscard]] std::string url() const;

  // The graph was edited, or something else the page shows may have
  // changed. Any thread.
  void changed();
  // The editor changed the graph; edited is the box whose settings changed,
  // or -1. Host thread.
  void edited(int edited);
  // The box painted itself again. Host thread.
  void repainted(JModuleObj& box);
  // box (serving on port) handed a received text on: one line of the
  // page's log. Any thread.
  void received(const JModuleObj& box, int port, const std::string& text);

 private:
  void addPageRoutes();

  JGraph& graph_;
  GraphEditor& editor_;
  WebUiHooks hooks_;
  std::shared_ptr<LiveView> view_;
  std::unique_ptr<HostCalls> calls_;
  std::unique_ptr<RouteTable> routes_;
  std::unique_ptr<EditRoutes> edits_;
  std::unique_ptr<WebGate> gate_;
  std::unique_ptr<PageServer> server_;  // host thread
  std::thread listener_;
  int port_ = 0;
};
