#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One box whose code crashed the host, as the crash reporter recorded it
// (ModuleGuard::recordCrashesIn): one tab-separated line of a text file
// beside the saved graph.
struct CrashEntry {
  int place = -1;  // its number at the next load of the saved graph
  std::string className;
  std::string library;
  std::string operation;
  std::int64_t when = 0;  // seconds since 1970
  std::string signal;

  // "held: it crashed in inputChanged at 2026-12-09 18:40:12", local time.
  [[nodiscard]] std::string heldText() const;
  [[nodiscard]] std::string line() const;
};

// The crash record of a saved graph. Host thread.
class CrashRecord {
 public:
  // The record kept beside the saved graph savedGraph: savedGraph.crashed.
  static std::string besideSavedGraph(const std::string& savedGraph);

  explicit CrashRecord(std::string path) : path_(std::move(path)) {}
  [[nodiscard]] const std::string& path() const { return path_; }

  // Its entries; none when there is no file. A line that is not a record (a
  // crash cut short, an edit by hand) is skipped. Throws std::runtime_error
  // naming the file when it cannot be read.
  [[nodiscard]] std::vector<CrashEntry> read() const;
  // Replaces it with entries, or removes it when there are none. Throws as
  // read does.
  void write(const std::vector<CrashEntry>& entries) const;

 private:
  std::string path_;
};
