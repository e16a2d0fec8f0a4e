#pragma once

// What ModuleGuard keeps, shared by its calls, its crash reporter and its
// watchdog; private to the host library.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ModuleGuard.h"

struct ModuleGuard::Record {
  std::string label;        // its c_str() is what a crashing thread writes
  std::string crashFields;  // "CLASS\tLIBRARY" for the crash record
  int number = -1;
  std::atomic<int> place{-1};  // -1: a crash is not recorded
  std::mutex faultLock;        // guards fault
  std::optional<Fault> fault;
};

namespace guard {

// One guarded call in progress. The owning thread writes it; the watchdog
// reads it as a sequence lock: serial is 0 while the rest is written, so a
// reader that sees the same non-zero serial before and after read one call.
struct Frame {
  std::atomic<std::uint64_t> serial{0};
  std::atomic<ModuleGuard::Record*> record{nullptr};
  std::atomic<const JObject*> box{nullptr};
  std::atomic<const char*> operation{nullptr};
  // When the box's own code last took over (the call began, a call it made
  // returned, its wait ended); 0 while it is not watched: a thread's body,
  // or a box waiting for its own thread.
  std::atomic<std::int64_t> sinceMs{0};
  // The serial of the call the watchdog told as hanging; 0: none. Set and
  // cleared under tellLock().
  std::atomic<std::uint64_t> told{0};
  // The owning thread's own.
  int waits = 0;
  bool watched = false;
};

// The guarded calls of one thread, innermost last. Deeper calls than it
// holds go unwatched.
struct CallSlot {
  static constexpr int kFrames = 32;
  std::array<Frame, kFrames> frames;
  std::atomic<int> depth{0};
  std::uint64_t nextSerial = 0;  // the owning thread's own
};

struct State {
  // Guards byBox and slots, and is held by whoever frees a record or a slot
  // and by the watchdog while it reads them.
  std::mutex lock;
  std::map<const JObject*, std::unique_ptr<ModuleGuard::Record>> byBox;
  std::vector<CallSlot*> slots;
  std::vector<std::unique_ptr<ModuleGuard::Record>> retired;
};

// Never destroyed: threads may still end after the statics of the process.
State& state();
// Records replaced while a call may still be in them; guarded by state().lock.
std::vector<std::unique_ptr<ModuleGuard::Record>>& retired();

// The calling thread's slot, made and registered on its first call.
CallSlot& slotOfThisThread();
// The calling thread's slot, or null; safe in a signal handler.
CallSlot* currentSlot();
// The innermost call of the calling thread that has a frame, or null; safe
// in a signal handler.
Frame* innermostFrame();

// Milliseconds of a coarse monotonic clock: cheap enough for every call.
std::int64_t nowMs();

// Serialises telling hangs and their returns, so a return is never told
// before its hang.
std::mutex& tellLock();
// The returning thread's side: tells the return if frame's call was told.
void tellReturned(Frame& frame, std::uint64_t serial);

}  // namespace guard
