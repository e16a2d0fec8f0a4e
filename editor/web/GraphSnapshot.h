#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "JBoxStatus.h"
#include "JGraph.h"
#include "QenoServerPorts.h"
#include "SharedShapes.h"

class GraphEditor;

// What the editor page shows of a graph, taken on the host thread: every box
// with its geometry, ports, property sheet and status, the links, and each
// box's face as the module paints it. Each take also tells what changed since
// the last one, field by field, so a page is kept current with little. What
// boxes of a class have alike is told once: the port layout of a class at a
// size ("layouts", box-relative, named by a box's "layout") and the entries
// of its property sheet ("sheets", by class; a box has their values in
// "settings"). A box that differs from its class has its own "ports" or
// "properties" instead.
class GraphSnapshot {
 public:
  struct Image {
    std::uint64_t version = 0;  // changes whenever the picture does
    std::shared_ptr<const std::string> png;
  };
  // Host thread: the state of a QenoServer box.
  using StateOf = std::function<ServerState(JModuleObj&)>;
  // What the host tells of boxes beyond what they tell of themselves. Host
  // thread.
  struct Hooks {
    StateOf stateOf;
    // The status line under a box; unset: the box's own (JBoxStatus).
    std::function<std::optional<JBoxStatus::Line>(JModuleObj&)> statusOf;
  };

  GraphSnapshot(JGraph& graph, Hooks hooks, bool canSave, const GraphEditor* editor);

  // Host thread: the box painted itself again; its picture is taken anew.
  void markRepainted(const JModuleObj& box);
  // Any thread: any box may have been edited (properties, ports, classes).
  void markEdited() { edition_.fetch_add(1); }
  // Host thread: the settings of box number changed.
  void markBoxEdited(int number) { editedBoxes_.insert(number); }

  // Host thread: takes the graph's state now. chunks holds the texts each
  // server received so far; touched the boxes that handed on a value or told
  // a new status since the last take. Only those, and boxes edited, moved or
  // repainted, are looked at again, but for a sweep over all every kSweep.
  // Returns what changed since the last take, as the JSON of a change event,
  // or an empty string.
  std::string update(const std::map<const JModuleObj*, long>& chunks,
                     const std::set<const JModuleObj*>& touched);
  // When the next update sweeps over all boxes.
  [[nodiscard]] std::chrono::steady_clock::time_point nextSweep() const {
    return lastSweep_ + kSweep;
  }
  // The whole state of the last update, as JSON.
  [[nodiscard]] std::string whole() const;
  // The pictures of the last update, by box number.
  [[nodiscard]] const std::map<int, Image>& images() const { return images_; }
  // Whether pictures were left to paint for want of time: take again soon.
  [[nodiscard]] bool behind() const { return behind_; }

  // How often every box is looked at, told of a change or not: what no box
  // tells (a connection opened or closed without a text) shows this late.
  static constexpr std::chrono::milliseconds kSweep{400};
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
  // Field name and its JSON text, in the order the page gets them.
  using Fields = std::vector<std::pair<const char*, std::string>>;
  struct Shown {
    const JModuleObj* box = nullptr;
    std::uint64_t edition = 0;  // of the fields below
    Fields shape;               // class, ports, properties: change with edits
    Fields live;                // the rest: taken on every update
    std::string layout;         // the shared layout it uses, or empty
    std::string sheet;          // the shared sheet it uses, or empty
  };
  // Paints the box when its picture is stale and time allows.
  Picture& pictureOf(JModuleObj& box, bool mayPaint);
  // The box's shape, sharing what its class has alike; shown keeps which.
  Fields shapeOf(JModuleObj& box, Shown& shown);
  void forget(Shown& shown);
  Fields liveOf(JModuleObj& box, const Picture& picture,
                const std::map<const JModuleObj*, long>& chunks) const;
  [[nodiscard]] std::string flagsText() const;
  [[nodiscard]] std::string linksText() const;

  JGraph& graph_;
  Hooks hooks_;
  bool canSave_;
  const GraphEditor* editor_;
  std::atomic<std::uint64_t> edition_{1};
  std::uint64_t nextVersion_ = 1;
  std::map<const JModuleObj*, Picture> pictures_;  // host thread only, as below
  std::map<int, Shown> shown_;                     // by box number
  SharedShapes layouts_;
  SharedShapes sheets_;
  std::set<int> editedBoxes_;
  std::chrono::steady_clock::time_point lastSweep_;
  std::uint64_t linksChange_ = 0;  // the graph's change count the links were taken at
  std::string links_;
  std::string flags_;
  std::map<int, Image> images_;
  bool behind_ = false;
};
