#pragma once

#include <map>
#include <string>

#include "ServerSet.h"

// --render FILE: every server box drawn to a PNG file whenever it repaints,
// the first server to FILE, server N to FILE-N+1. Host thread.
class BoxPictures {
 public:
  BoxPictures(const ServerSet& servers, std::string renderFile);

  [[nodiscard]] bool enabled() const { return !renderFile_.empty(); }
  // Before anything listens: draws every server once, or tells why not.
  bool checkWritable();
  // The box painted itself again: a server's file is drawn anew. A failure
  // is told once, not on every repaint, until drawing works again.
  void repainted(JModuleObj& box);

 private:
  [[nodiscard]] std::string pathFor(std::size_t index) const;

  const ServerSet& servers_;
  std::string renderFile_;
  std::map<const JModuleObj*, bool> failing_;  // its last render failed and was told
};
