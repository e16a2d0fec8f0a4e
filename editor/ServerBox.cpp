#include "ServerBox.h"

#include <cstring>

#include "HostModules.h"
#include "JGraph.h"
#include "JGraphics.h"
#include "ModuleGuard.h"

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

void ServerBox::setReadInput(JModuleObj& box, int value) {
  if (JGraph* graph = box.graph()) {
    for (const auto& link : graph->links()) {
      if (link->getTarget() != &box || link->getInput() != ServerPorts::kReadInput) continue;
      if (auto* source = dynamic_cast<JIntegerSource*>(link->getSource())) {
        source->setValue(value);
        return;
      }
    }
  }
  // A source of the host's own, outside the graph, lends the link.
  JIntegerSource lender;
  lender.setValue(value);
  JLinkObj link(&lender, 0, &box, ServerPorts::kReadInput);
  ModuleGuard::call(&box, "inputChanged", [&] { box.inputChanged(ServerPorts::kReadInput, link); });
}
