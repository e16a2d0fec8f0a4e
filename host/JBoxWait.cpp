#include "JBoxWait.h"

#include "GuardState.h"
#include "JModuleObj.h"

namespace {

// The calling thread's innermost call if it is into box, or null.
guard::Frame* callInto(const JModuleObj& box) {
  guard::Frame* frame = guard::innermostFrame();
  if (frame == nullptr || frame->box.load(std::memory_order_relaxed) != &box) return nullptr;
  return frame;
}

}  // namespace

void JBoxWait::begin(const JModuleObj& box) {
  guard::Frame* frame = callInto(box);
  if (frame != nullptr && frame->waits++ == 0) frame->sinceMs.store(0, std::memory_order_relaxed);
}

void JBoxWait::end(const JModuleObj& box) {
  guard::Frame* frame = callInto(box);
  if (frame == nullptr || frame->waits == 0) return;
  // Its own code runs again from now.
  if (--frame->waits == 0 && frame->watched) {
    frame->sinceMs.store(guard::nowMs(), std::memory_order_relaxed);
  }
}
