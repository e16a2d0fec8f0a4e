// The watchdog: a guarded call whose box's own code has run for a second
// without returning is told, once, while it lasts, and again when it
// returns. It only tells: a box stuck in its code keeps its thread.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "GuardState.h"
#include "ModuleGuard.h"

namespace {

constexpr std::int64_t kHangMs = 1000;
constexpr auto kScanInterval = std::chrono::milliseconds(200);

struct Told {
  const guard::Frame* frame;
  std::uint64_t serial;
  std::int64_t sinceMs;  // when the box's own code took over
  ModuleGuard::Hang hang;
};

// Guarded by tellLock().
struct Telling {
  std::vector<Told> told;
  std::function<void(const ModuleGuard::Hang&)> observer;
};

Telling& telling() {
  static Telling* const all = new Telling;  // NOLINT(cppcoreguidelines-owning-memory): never freed
  return *all;
}

struct Watch {
  std::mutex lock;  // guards stop
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

Watch& watch() {
  static Watch all;
  return all;
}

double secondsBetween(std::int64_t fromMs, std::int64_t toMs) {
  return static_cast<double>(toMs - fromMs) / 1000.0;
}

// Under tellLock(): the line to standard error, then the observer.
void tell(const ModuleGuard::Hang& hang) {
  const std::string line = "qeno-host: " + hang.line() + "\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
  if (telling().observer) telling().observer(hang);
}

// Tells the innermost watched call of slot if it has run too long. Under
// the state's lock, so neither the slot nor the record goes meanwhile.
void look(guard::CallSlot& slot, std::int64_t now) {
  const int depth = slot.depth.load();
  if (depth <= 0 || depth > guard::CallSlot::kFrames) return;
  guard::Frame& frame = slot.frames[static_cast<std::size_t>(depth - 1)];
  // The fields of one call: the serial is the same, and not 0, before and after.
  const std::uint64_t serial = frame.serial.load();
  const std::int64_t since = frame.sinceMs.load();
  const ModuleGuard::Record* record = frame.record.load();
  const char* operation = frame.operation.load();
  const JObject* box = frame.box.load();
  if (serial == 0 || frame.serial.load() != serial) return;
  if (since == 0 || now - since < kHangMs || frame.told.load() == serial) return;

  std::lock_guard<std::mutex> hold(guard::tellLock());
  // Marked first, then checked still on: the returning thread lowers the
  // depth first, then looks at the mark, so one of the two sees the other.
  frame.told.store(serial);
  if (slot.depth.load() < depth || frame.serial.load() != serial) {
    frame.told.store(0);
    return;
  }
  ModuleGuard::Hang hang;
  hang.label = record != nullptr ? record->label : "a box";
  hang.number = record != nullptr ? record->number : -1;
  hang.operation = operation != nullptr ? operation : "a call";
  hang.seconds = secondsBetween(since, now);
  hang.box = box;
  telling().told.push_back(Told{&frame, serial, since, hang});
  tell(hang);
}

void scan() {
  const std::int64_t now = guard::nowMs();
  guard::State& all = guard::state();
  std::lock_guard<std::mutex> hold(all.lock);
  for (guard::CallSlot* slot : all.slots) look(*slot, now);
}

}  // namespace

namespace guard {

std::mutex& tellLock() {
  static std::mutex* const lock = new std::mutex;  // NOLINT(cppcoreguidelines-owning-memory)
  return *lock;
}

void tellReturned(Frame& frame, std::uint64_t serial) {
  std::lock_guard<std::mutex> hold(tellLock());
  if (frame.told.load() != serial) return;
  frame.told.store(0);
  auto& told = telling().told;
  auto found = std::find_if(told.begin(), told.end(),
                            [&](const Told& t) { return t.frame == &frame && t.serial == serial; });
  if (found == told.end()) return;
  ModuleGuard::Hang hang = found->hang;
  hang.returned = true;
  hang.seconds = secondsBetween(found->sinceMs, nowMs());
  told.erase(found);
  tell(hang);
}

}  // namespace guard

std::string ModuleGuard::Hang::line() const {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", this->seconds);
  return label + (returned ? " returned from " : " is still in ") + operation + " after " + seconds;
}

void ModuleGuard::startWatchdog() {
  Watch& w = watch();
  if (w.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(w.lock);
    w.stop = false;
  }
  w.thread = std::thread([&w] {
    std::unique_lock<std::mutex> hold(w.lock);
    while (!w.wake.wait_for(hold, kScanInterval, [&w] { return w.stop; })) {
      hold.unlock();
      scan();
      hold.lock();
    }
  });
}

void ModuleGuard::stopWatchdog() {
  Watch& w = watch();
  if (!w.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(w.lock);
    w.stop = true;
  }
  w.wake.notify_all();
  w.thread.join();
}

std::vector<ModuleGuard::Hang> ModuleGuard::hangs() {
  const std::int64_t now = guard::nowMs();
  std::lock_guard<std::mutex> hold(guard::tellLock());
  std::vector<Hang> result;
  for (const Told& t : telling().told) {
    Hang hang = t.hang;
    hang.seconds = secondsBetween(t.sinceMs, now);
    result.push_back(std::move(hang));
  }
  return result;
}

void ModuleGuard::setHangObserver(std::function<void(const Hang&)> observer) {
  std::lock_guard<std::mutex> hold(guard::tellLock());
  telling().observer = std::move(observer);
}
