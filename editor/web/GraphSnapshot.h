#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "JGraph.h"
#include "QenoServerPorts.h"

// What the editor page shows of a graph, taken on the host thread: every box
// with its geometry, ports, property sheet and status, the links, and each
// box's face as the module paints it.
class GraphSnapshot {
 public:
  struct Image {
    std::uint64_t version = 0;  // changes whenever the picture does
    std::string png;
  };
  // Host thread: the state of a QenoServer box.
  using StateOf = std::function<ServerState(JModuleObj&)>;

  GraphSnapshot(JGraph& graph, StateOf stateOf, bool canSave);

  // Host thread: the box painted itself again; its picture is taken anew.
  void markRepainted(const JModuleObj& box);
  // Host thread: the page's whole state as JSON. requests holds the
  // requests served by each box so far.
  std::string build(const std::map<const JModuleObj*, long>& requests);
  // The pictures of the last build, by module index.
  [[nodiscard]] const std::vector<Image>& images() const { return images_; }

  // The longest received text the page shows, in bytes before escaping.
  static constexpr std::size_t kChunkShown = 256;
  // A received text as the page shows it: valid UTF-8 as itself, line
  // breaks, controls and invalid bytes escaped, cut after kChunkShown bytes.
  static std::string shownText(const std::string& text);

 private:
  struct Picture {
    Image image;
    bool stale = true;
    int square = -1;  // -1 not shown, 0 red, 1 green
    int marginPx = 0;
  };
  Picture& pictureOf(JModuleObj& box);

  JGraph& graph_;
  StateOf stateOf_;
  bool canSave_;
  std::uint64_t nextVersion_ = 1;
  std::map<const JModuleObj*, Picture> pictures_;  // host thread only
  std::vector<Image> images_;
};
