#pragma once

#include <string>

#include "JModuleObj.h"
#include "QenoServerPorts.h"

class JImage;

// What the editor, its page and qeno-host know of the QenoServer box, in one
// place: its class name, the words for its states, where its connection
// square sits and which output carries what its clients send. All else they
// learn from the box itself, as of any box.
class ServerBox {
 public:
  static constexpr const char* kClassName = "QenoServer";

  [[nodiscard]] static bool is(const JModuleObj& box);
  // The word a user reads for a state: in `status`, the page's API and the page.
  [[nodiscard]] static const char* stateName(ServerState state);
  // The square's colour in a picture of box whose frame starts marginPx in:
  // -1 not shown, 0 red, 1 green.
  [[nodiscard]] static int squareIn(const JImage& picture, int marginPx);
  // Whether output of box hands on each text a client sends, a request's
  // chunk.
  [[nodiscard]] static bool isReceivedText(const JModuleObj& box, int output);
};
