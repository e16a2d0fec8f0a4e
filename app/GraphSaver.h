#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "JGraph.h"

// Keeps the graph saved where --save asks: checked before anything listens,
// written a short while after every change, and at exit, to a fallback
// place if that fails. Host thread.
class GraphSaver {
 public:
  GraphSaver(JGraph& graph, std::string saveFile);

  [[nodiscard]] bool enabled() const { return !saveFile_.empty(); }
  // Before anything listens: a file that cannot be written would otherwise
  // show only later, after edits it should have kept. Tells why not.
  bool checkWritable();
  // Saves when changes have waited long enough; call from the host loop.
  void autosave();
  // How long the host loop may wait before autosave is due; none: no limit.
  [[nodiscard]] std::optional<int> msUntilDue() const;
  // Saves to the --save file, or to path, saying where; returns an empty
  // string or the reason, which is also told.
  std::string saveNow();
  std::string saveTo(const std::string& path);
  // The save at exit: to the --save file, or else to a fallback. False when
  // the --save file could not be written.
  bool saveAtExit();

 private:
  void saveFallback();

  JGraph& graph_;
  std::string saveFile_;
  // The graph's change count at the last save, and when the next save is due
  // while changes wait.
  std::uint64_t savedChanges_ = 0;
  std::optional<std::chrono::steady_clock::time_point> saveDue_;
  bool autosaveFailing_ = false;
};
