#pragma once

#include <optional>
#include <string>

#include "JString.h"

class JModuleObj;

// Why a box did not take a value of its property sheet. A box that will not
// take a value it understands (a low above its high) calls refuse inside its
// updateProperty and returns 0; the sheet then tells the user the reason
// with the refusal, on the console, for --set and on the editor page:
//   Clamp did not take property 'low': low must not exceed high
// Added in 0.2: a module built against 0.1 gives no reason, and its refusals
// read as before.
class JPropertyRefusal {
 public:
  // Inside updateProperty, on the thread that runs it. One short line; the
  // last reason told counts.
  static void refuse(const JModuleObj& box, const JString& reason);

  // The host's side, on the thread that called updateProperty: the reason box
  // gave since the last take, once.
  [[nodiscard]] static std::optional<std::string> take(const JModuleObj& box);
};
