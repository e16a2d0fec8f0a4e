#pragma once

#include <memory>

#include "BoxPictures.h"
#include "Commands.h"
#include "ConsoleInput.h"
#include "GraphEditor.h"
#include "GraphSaver.h"
#include "HeldBoxes.h"
#include "JGraph.h"
#include "ModuleSearch.h"
#include "Options.h"
#include "ServerSet.h"
#include "WebUi.h"

// The application's life: loads the module libraries and the graph, starts
// its servers, then runs the host thread's loop over the graph's events,
// signals and standard input until it is told to end, and stops and saves.
class HostApp {
 public:
  explicit HostApp(Options options);
  ~HostApp();
  HostApp(const HostApp&) = delete;
  HostApp& operator=(const HostApp&) = delete;

  // The whole life of the application; returns the exit code.
  int run();

 private:
  bool setUp();
  bool loadGraph();
  int loop();
  void readConsole();
  void onRepaint(JModuleObj& box);
  bool finish();

  Options options_;
  HeldBoxes held_{""};
  int signalFd_ = -1;
  bool inputOpen_ = true;
  // Declared in the order they are made; each goes before what it uses.
  std::unique_ptr<ModuleSet> modules_;  // outlives the graph: the boxes' code is in it
  std::unique_ptr<JGraph> graph_;
  std::unique_ptr<ServerSet> servers_;
  std::unique_ptr<GraphEditor> editor_;
  std::unique_ptr<GraphSaver> saver_;
  std::unique_ptr<BoxPictures> pictures_;
  std::unique_ptr<WebUi> web_;  // with --ui
  std::unique_ptr<Commands> commands_;
  ConsoleInput console_;
};
