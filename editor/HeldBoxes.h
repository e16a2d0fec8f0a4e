#pragma once

#include <map>
#include <string>
#include <vector>

#include "CrashRecord.h"
#include "JGraph.h"

// The boxes held because their code crashed the host (HeldBox), and the
// crash record beside the saved graph that keeps them held from one start
// to the next: the crash reporter appends to it, the next start holds what
// it lists, and it is rewritten as the held boxes change. A box runs again
// through GraphEditor::release. Host thread.
class HeldBoxes {
 public:
  // record: the crash record's path; empty: nothing is recorded or held.
  explicit HeldBoxes(std::string record) : record_(std::move(record)) {}

  [[nodiscard]] bool enabled() const { return !record_.path().empty(); }
  [[nodiscard]] const std::string& recordPath() const { return record_.path(); }

  // Before the graph loads: what the record holds, by place. A record that
  // cannot be read holds nothing; problems gets why.
  std::map<int, CrashEntry> read(std::vector<std::string>& problems);
  // Once the graph is loaded (or built): a recorded box that loading did not
  // stand in for is made a stand-in now, and an entry that names no box of
  // its class there is dropped. Returns the lines to tell: each held box,
  // each entry dropped, any problem with the record.
  std::vector<std::string> settle(JGraph& graph, const std::map<int, CrashEntry>& recorded);
  // Rewrites the record to list the stand-ins where they stand now, when
  // that changed; after every edit. Returns a problem, or an empty string.
  std::string sync(const JGraph& graph);

  struct Held {
    int number = -1;
    // "box 2 (Faulty, /path/libfaulty.so) held: it crashed in inputChanged
    // at 2026-12-09 18:40:12"
    std::string line;
  };
  [[nodiscard]] static std::vector<Held> list(const JGraph& graph);

 private:
  CrashRecord record_;
  std::string written_;  // the record's text as last written or read
};
