#include "PageGlue.h"

#include "Console.h"
#include "JComponent.h"
#include "JThread.h"
#include "ModuleGuard.h"

std::unique_ptr<WebUi> makePage(JGraph& graph, GraphEditor& editor, ServerSet& servers,
                                GraphSaver& saver) {
  WebUiHooks hooks;
  hooks.stateOf = [&servers](JModuleObj& box) { return servers.stateOf(box); };
  hooks.statusOf = [&servers](JModuleObj& box) { return servers.boxStatus(box); };
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

void logToPage(WebUi* page) {
  if (page == nullptr) {
    console::setTee(nullptr);
    ModuleGuard::setLineObserver(nullptr);
    ModuleGuard::setHangObserver(nullptr);
    JComponent::debugObserve(nullptr);
    return;
  }
  console::setTee(
      [page](const JModuleObj* box, const std::string& line,
             std::chrono::system_clock::time_point when) { page->log(box, line, when); });
  ModuleGuard::setLineObserver([page](const JObject* box, const std::string& line) {
    page->log(dynamic_cast<const JModuleObj*>(box), line);
  });
  // The box is a key only: a destructor's box is gone by the time it returns.
  ModuleGuard::setHangObserver([page](const ModuleGuard::Hang& hang) {
    page->log(static_cast<const JModuleObj*>(hang.box), hang.line());
  });
  // A debug line is about the box whose worker writes it.
  JComponent::debugObserve([page](const std::string& line) {
    page->log(dynamic_cast<const JModuleObj*>(JThread::currentTarget()), line);
  });
}
