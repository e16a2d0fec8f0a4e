#include "ServerBox.h"

#include <cstring>

#include "JGraphics.h"

bool ServerBox::is(const JModuleObj& box) {
  return std::strcmp(box.className(), kClassName) == 0;
}

const char* ServerBox::stateName(ServerState state) {
  switch (state) {
    case ServerState::kIdle:
      return "idle";
    case ServerState::kListening:
      return "listening";
    case ServerState::kConnected:
      return "connected";
  }
  return "idle";
}

int ServerBox::squareIn(const JImage& picture, int marginPx) {
  // The connection square sits in the box's top left corner.
  const int inside = marginPx + JModuleObj::depth2 + JModuleObj::depth2 / 2;
  const JColor colour = picture.pixel(inside, inside);
  if (colour == JColor::green) return 1;
  if (colour == JColor::red) return 0;
  return -1;
}

bool ServerBox::isReceivedText(const JModuleObj& box, int output) {
  return output == ServerPorts::kTextOutput && is(box);
}
