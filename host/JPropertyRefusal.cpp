#include "JPropertyRefusal.h"

namespace {

// updateProperty runs on the thread that edits, which reads the reason right
// after; nothing is shared between threads.
struct Refusal {
  const JModuleObj* box = nullptr;
  std::string reason;
};
thread_local Refusal pending;

}  // namespace

void JPropertyRefusal::refuse(const JModuleObj& box, const JString& reason) {
  pending = Refusal{&box, reason.str()};
}

std::optional<std::string> JPropertyRefusal::take(const JModuleObj& box) {
  Refusal told = std::move(pending);
  pending = Refusal{};
  if (told.box != &box) return std::nullopt;
  return std::move(told.reason);
}
