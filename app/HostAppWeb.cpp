// The parts of HostApp that serve the editor page (--ui).
#include <exception>

#include "Console.h"
#include "GraphFile.h"
#include "HostApp.h"
#include "HostModules.h"

void HostApp::makeWebUi() {
  WebUiHooks hooks;
  hooks.stateOf = [this](JModuleObj& box) {
    for (const Server& server : servers_) {
      if (server.box == &box) return stateOf(server);
    }
    return 0;
  };
  hooks.edited = [this](JModuleObj& box) {
    // An enable source turned on from the page starts its server, as `enable` does.
    for (Server& server : servers_) {
      if (server.enable == &box && server.enable->getValue() != 0) {
        server.startedPort = portOf(*server.box);
      }
    }
  };
  if (!options_.saveFile.empty()) {
    hooks.save = [this]() -> std::string {
      try {
        saveGraphFile(*graph_, options_.saveFile);
        console::out("saved the graph to " + options_.saveFile);
        return {};
      } catch (const std::exception& e) {
        console::err(e.what());
        return e.what();
      }
    };
  }
  web_ = std::make_unique<WebUi>(*graph_, std::move(hooks));
}

bool HostApp::startWebUi() {
  if (!web_) return true;
  std::string error = web_->start(options_.uiAddress, options_.uiPort);
  if (!error.empty()) {
    console::err(error);
    return false;
  }
  // Printed even with --quiet: without it nobody can open the page.
  console::out("editor page: " + web_->url());
  return true;
}
