#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "JGraph.h"
#include "RouteTable.h"
#include "WebRequests.h"
#include "WebUi.h"

class GraphEditor;
class HostCalls;

// The page's edits: each request is checked on its HTTP thread, then applied
// on the host thread through the graph's one editor, the console's too, so
// each is one step of one history whoever made it.
class EditRoutes {
 public:
  // Every reference must outlive the server that serves the routes.
  EditRoutes(JGraph& graph, GraphEditor& editor, const HostCalls& calls, const WebUiHooks& hooks);

  void addTo(RouteTable& routes);

 private:
  using Edit = std::function<webrequest::Outcome(const webrequest::Json& body)>;
  // A POST route that reads a JSON object of at most bodyLimit bytes and
  // runs edit with it on the host thread.
  void onHost(RouteTable& routes, const char* path, Edit edit,
              std::size_t bodyLimit = webrequest::kMaxBodyBytes);
  // Edits of one box's settings, place and server.
  void addBoxEdits(RouteTable& routes);
  // Edits of the graph's shape, the history, copy and paste.
  void addGraphEdits(RouteTable& routes);

  // Host thread: every registered class described, as the JSON of
  // /api/classes; taken again only when the classes change.
  std::string classesText();
  // Host thread: the values box number's ports show now.
  [[nodiscard]] webrequest::Outcome portValues(int number) const;

  JGraph& graph_;
  GraphEditor& editor_;
  const HostCalls& calls_;
  const WebUiHooks& hooks_;
  std::vector<std::string> describedNames_;  // host thread only, as below
  std::string classesText_;
};
