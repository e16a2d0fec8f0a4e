// What qeno-host writes besides its output: the saved graph (checked at
// start, kept current while it runs, written at exit) and the rendered boxes.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "BoxRenderer.h"
#include "Console.h"
#include "GraphFile.h"
#include "HostApp.h"

namespace {

constexpr std::chrono::milliseconds kAutosaveDelay{500};

}  // namespace

// Before anything listens: a file that cannot be written would otherwise
// show only later, after edits it should have kept.
bool HostApp::checkOutputFiles() {
  if (!options_.saveFile.empty()) {
    try {
      checkGraphFileWritable(options_.saveFile);
    } catch (const std::exception& e) {
      console::err(e.what());
      return false;
    }
  }
  if (options_.renderFile.empty()) return true;
  for (Server& server : servers_) {
    const std::string error = renderModuleToPng(*server.box, renderPathFor(*server.box));
    if (!error.empty()) {
      console::err(error);
      return false;
    }
  }
  return true;
}

// With --save, the graph is written a short while after each change, so a
// crash or a power cut loses at most that while. Changes that come while a
// save is due join it.
void HostApp::autosave() {
  if (options_.saveFile.empty()) return;
  const std::uint64_t changes = graph_->changeCount();
  if (changes == savedChanges_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!saveDue_) {
    saveDue_ = now + kAutosaveDelay;
    return;
  }
  if (now < *saveDue_) return;
  saveDue_.reset();
  savedChanges_ = changes;
  try {
    saveGraphFile(*graph_, options_.saveFile);
    if (autosaveFailing_) console::out("saved the graph to " + options_.saveFile);
    autosaveFailing_ = false;
  } catch (const std::exception& e) {
    // Told once until a save works again; the next change tries again.
    if (!autosaveFailing_) console::err(e.what());
    autosaveFailing_ = true;
  }
}

bool HostApp::finish() {
  if (web_) web_->stop();
  graph_->stopAll();
  graph_->processEvents();
  if (options_.saveFile.empty()) return true;
  try {
    saveGraphFile(*graph_, options_.saveFile);
    console::out("saved the graph to " + options_.saveFile);
    return true;
  } catch (const std::exception& e) {
    console::err(e.what());
    saveFallback();
    return false;
  }
}

// The save at exit failed (a full disk, a removed folder): the graph goes to
// the temporary folder instead, or else to standard output, never nowhere.
void HostApp::saveFallback() {
  const char* folder = std::getenv("TMPDIR");
  const std::string fallback = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                               "/qeno-graph-" + std::to_string(::getpid()) + ".json";
  try {
    saveGraphFile(*graph_, fallback);
    console::err("saved the graph to " + fallback + " instead");
    return;
  } catch (const std::exception& e) {
    console::err(e.what());
  }
  console::err("the graph follows on standard output");
  console::out(graphToJson(*graph_));
}

void HostApp::onRepaint(JModuleObj& box) {
  if (web_) web_->repainted(box);
  if (options_.renderFile.empty()) return;
  for (Server& server : servers_) {
    if (server.box != &box) continue;
    const std::string error = renderModuleToPng(box, renderPathFor(box));
    // A failure is told once, not on every repaint; once rendering works
    // again, a new failure is told again.
    if (!error.empty() && !server.renderFailing) console::err(error);
    server.renderFailing = !error.empty();
  }
}

std::string HostApp::renderPathFor(const JModuleObj& box) const {
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    if (servers_[i].box != &box || i == 0) continue;
    // Built by appending only: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // inserting a concatenated string.
    const std::string& file = options_.renderFile;
    const std::size_t dot = std::min(file.rfind(".png"), file.size());
    std::string path(file, 0, dot);
    path += '-';
    path += std::to_string(i + 1);
    path.append(file, dot, std::string::npos);
    return path;
  }
  return options_.renderFile;
}
