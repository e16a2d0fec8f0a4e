#include "GraphSaver.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <utility>

#include "Console.h"
#include "GraphFile.h"

namespace {

constexpr std::chrono::milliseconds kAutosaveDelay{500};

}  // namespace

GraphSaver::GraphSaver(JGraph& graph, std::string saveFile)
    : graph_(graph), saveFile_(std::move(saveFile)) {}

bool GraphSaver::checkWritable() {
  if (!enabled()) return true;
  try {
    checkGraphFileWritable(saveFile_);
    return true;
  } catch (const std::exception& e) {
    console::err(e.what());
    return false;
  }
}

// A crash or a power cut loses at most the delay's worth of changes; changes
// that come while a save is due join it.
void GraphSaver::autosave() {
  if (!enabled()) return;
  const std::uint64_t changes = graph_.changeCount();
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
    saveGraphFile(graph_, saveFile_);
    if (autosaveFailing_) console::out("saved the graph to " + saveFile_);
    autosaveFailing_ = false;
  } catch (const std::exception& e) {
    // Told once until a save works again; the next change tries again.
    if (!autosaveFailing_) console::err(e.what());
    autosaveFailing_ = true;
  }
}

std::optional<int> GraphSaver::msUntilDue() const {
  if (!saveDue_) return std::nullopt;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*saveDue_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

std::string GraphSaver::saveNow() {
  return saveTo(saveFile_);
}

std::string GraphSaver::saveTo(const std::string& path) {
  try {
    saveGraphFile(graph_, path);
    console::out("saved the graph to " + path);
    return {};
  } catch (const std::exception& e) {
    console::err(e.what());
    return e.what();
  }
}

bool GraphSaver::saveAtExit() {
  if (!enabled()) return true;
  if (saveNow().empty()) return true;
  saveFallback();
  return false;
}

// The save at exit failed (a full disk, a removed folder): the graph goes to
// the temporary folder instead, or else to standard output, never nowhere.
void GraphSaver::saveFallback() {
  const char* folder = std::getenv("TMPDIR");
  const std::string fallback = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                               "/qeno-graph-" + std::to_string(::getpid()) + ".json";
  try {
    saveGraphFile(graph_, fallback);
    console::err("saved the graph to " + fallback + " instead");
    return;
  } catch (const std::exception& e) {
    console::err(e.what());
  }
  console::err("the graph follows on standard output");
  console::out(graphToJson(graph_));
}
