#include "ServerStateNames.h"

const char* serverStateName(ServerState state) {
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
