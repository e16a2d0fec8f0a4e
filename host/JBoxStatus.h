#pragma once

#include <functional>
#include <optional>
#include <string>

#include "JString.h"

class JModuleObj;

// The colour of a status line's dot.
enum class JStatusColour : int {
  kNone = 0,
  kGrey = 1,
  kGreen = 2,
  kYellow = 3,
  kRed = 4,
  kBlue = 5
};

// A box's status line: a short text with a coloured dot, shown under the box
// on the editor page and by the console's `status`. The box's own code sets
// it when its state changes. Added in 0.2: a module built against 0.1 has
// none, and loads as before.
class JBoxStatus {
 public:
  struct Line {
    std::string text;
    JStatusColour colour = JStatusColour::kNone;
  };

  // Sets box's line; an empty text clears it. Any thread. It takes a lock:
  // set it when something changes, not for every value.
  static void set(const JModuleObj& box, const JString& text, JStatusColour colour);
  static void clear(const JModuleObj& box);

  // The host's side. A box keeps its line only while it is in a graph, so a
  // later box at the same address never shows an old one.
  [[nodiscard]] static std::optional<Line> of(const JModuleObj& box);
  static void forget(const JModuleObj& box);
  // Told, on the setting thread, whenever a box's line changes; brief, and
  // never calling back into JBoxStatus. An empty observer ends the telling.
  static void setObserver(std::function<void(const JModuleObj& box)> observer);
  // "green", "red"...; "none" for kNone.
  [[nodiscard]] static const char* colourName(JStatusColour colour);
};
