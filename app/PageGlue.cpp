#include "PageGlue.h"

#include "Console.h"

std::unique_ptr<WebUi> makePage(JGraph& graph, GraphEditor& editor, ServerSet& servers,
                                GraphSaver& saver) {
  WebUiHooks hooks;
  hooks.stateOf = [&servers](JModuleObj& box) { return servers.stateOf(box); };
  // An enable source turned on from the page starts its server, as `enable` does.
  hooks.edited = [&servers](JModuleObj& box) { servers.sourceEdited(box); };
  if (saver.enabled()) hooks.save = [&saver] { return saver.saveNow(); };
  return std::make_unique<WebUi>(graph, editor, std::move(hooks));
}

bool startPage(WebUi& page, const Options& options) {
  const std::string error = page.start(options.uiAddress, options.uiPort);
  if (!error.empty()) {
    console::err(error);
    return false;
  }
  // Printed even with --quiet: without it nobody can open the page.
  console::out("editor page: " + page.url());
  return true;
}
