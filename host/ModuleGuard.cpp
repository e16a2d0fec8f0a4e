#include "ModuleGuard.h"

#include <time.h>
#include <unistd.h>

#include <exception>
#include <mutex>

#include "GuardState.h"
#include "JComponent.h"
#include "JException.h"
#include "JObject.h"

namespace guard {

namespace {

// Read by the crash reporter: initial-exec, so reading it in a signal
// handler never allocates.
__attribute__((tls_model("initial-exec"))) thread_local CallSlot* threadSlot = nullptr;
// The box about to stand at a place, while it loads (ModuleGuard::Loading).
thread_local ModuleGuard::Record* loadingRecord = nullptr;

// Owns the thread's slot and takes it out of the watchdog's list as the
// thread ends.
struct SlotOwner {
  std::unique_ptr<CallSlot> slot;
  SlotOwner() = default;
  SlotOwner(const SlotOwner&) = delete;
  SlotOwner& operator=(const SlotOwner&) = delete;
  ~SlotOwner() {
    if (!slot) return;
    State& all = state();
    std::lock_guard<std::mutex> hold(all.lock);
    std::erase(all.slots, slot.get());
    threadSlot = nullptr;
    slot.reset();
  }
};
thread_local SlotOwner slotOwner;

}  // namespace

State& state() {
  static State* const all = new State;  // NOLINT(cppcoreguidelines-owning-memory): never freed
  return *all;
}

std::vector<std::unique_ptr<ModuleGuard::Record>>& retired() {
  return state().retired;
}

CallSlot& slotOfThisThread() {
  if (threadSlot != nullptr) return *threadSlot;
  auto slot = std::make_unique<CallSlot>();
  {
    State& all = state();
    std::lock_guard<std::mutex> hold(all.lock);
    all.slots.push_back(slot.get());
  }
  threadSlot = slot.get();
  slotOwner.slot = std::move(slot);
  return *threadSlot;
}

CallSlot* currentSlot() {
  return threadSlot;
}

Frame* innermostFrame() {
  CallSlot* slot = threadSlot;
  if (slot == nullptr) return nullptr;
  const int depth = slot->depth.load();
  if (depth <= 0 || depth > CallSlot::kFrames) return nullptr;
  return &slot->frames[static_cast<std::size_t>(depth - 1)];
}

std::int64_t nowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace guard

namespace {

void fill(ModuleGuard::Record& record, int number, const std::string& className,
          const std::string& library) {
  record.label = "box " + std::to_string(number) + " (" + className + ", " + library + ")";
  // The crash record is one line of tab-separated fields.
  auto field = [](std::string text) {
    for (char& c : text) {
      if (c == '\t' || c == '\n') c = '?';
    }
    return text;
  };
  record.crashFields = field(className) + "\t" + field(library);
  record.number = number;
}

// The exception a guard told and passed on, on this thread: the guard it
// reaches tells it no more.
thread_local std::exception_ptr passedOn;

// Must be called inside a catch block.
bool isPassedOnException() {
  if (!passedOn || std::current_exception() != passedOn) return false;
  passedOn = nullptr;
  return true;
}

// The message of the exception being handled, a JThrowable* left alive for
// the code it passes on to. Only inside a catch block.
std::string describeKeepingIt() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (JThrowable* e) {
    return e != nullptr ? e->getMessage().str() : "a null exception";
  } catch (...) {
    return "an exception of unknown type";
  }
}

std::mutex& observerLock() {
  static std::mutex lock;
  return lock;
}

// Guarded by observerLock().
std::function<void(const JObject*, const std::string&)>& lineObserver() {
  static std::function<void(const JObject*, const std::string&)> observer;
  return observer;
}

void tellLineObserver(const JObject* box, const std::string& line) {
  std::function<void(const JObject*, const std::string&)> observer;
  {
    std::lock_guard<std::mutex> hold(observerLock());
    observer = lineObserver();
  }
  if (observer) observer(box, line);
}

}  // namespace

using guard::CallSlot;
using guard::Frame;

ModuleGuard::Active::Active(const JObject* box, const char* operation)
    : Active(recordOf(box), box, operation, true) {}

ModuleGuard::Active::Active(Record* record, const JObject* box, const char* operation,
                            bool watched) {
  static_assert(sizeof(Active) == 2 * sizeof(void*), "the size modules built against 0.1 use");
  CallSlot& slot = guard::slotOfThisThread();
  slot_ = &slot;
  index_ = slot.depth.load(std::memory_order_relaxed);
  if (index_ < CallSlot::kFrames) {
    Frame& frame = slot.frames[static_cast<std::size_t>(index_)];
    // A sequence lock for the watchdog: serial 0 while the fields change.
    // Sequentially consistent stores, not fences, which ThreadSanitizer
    // cannot follow.
    frame.serial.store(0);
    frame.record.store(record != nullptr ? record : guard::loadingRecord);
    frame.box.store(box);
    frame.operation.store(operation);
    frame.waits = 0;
    frame.watched = watched;
    frame.sinceMs.store(watched ? guard::nowMs() : 0);
    frame.serial.store(++slot.nextSerial);
  }
  slot.depth.store(index_ + 1);
}

ModuleGuard::Active::~Active() {
  auto& slot = *static_cast<CallSlot*>(slot_);
  // Before the told mark is read: the watchdog marks, then checks that the
  // call is still on, so one of the two sees the other.
  slot.depth.store(index_);
  if (index_ >= CallSlot::kFrames) return;
  Frame& frame = slot.frames[static_cast<std::size_t>(index_)];
  const std::uint64_t serial = frame.serial.load(std::memory_order_relaxed);
  if (frame.told.load() == serial) guard::tellReturned(frame, serial);
  if (index_ > 0) {
    // The caller's own code runs again from now.
    Frame& outer = slot.frames[static_cast<std::size_t>(index_ - 1)];
    if (outer.watched && outer.waits == 0) {
      outer.sinceMs.store(guard::nowMs(), std::memory_order_relaxed);
    }
  }
}

ModuleGuard::Record* ModuleGuard::nameBox(const JObject* box, int number,
                                          const std::string& className,
                                          const std::string& library) {
  auto record = std::make_unique<Record>();
  fill(*record, number, className, library);
  guard::State& all = guard::state();
  std::lock_guard<std::mutex> hold(all.lock);
  std::unique_ptr<Record>& slot = all.byBox[box];
  // A call may still be in the record a box had: it is kept, not freed.
  if (slot) guard::retired().push_back(std::move(slot));
  slot = std::move(record);
  return slot.get();
}

void ModuleGuard::forgetBox(const JObject* box) {
  guard::State& all = guard::state();
  std::lock_guard<std::mutex> hold(all.lock);
  all.byBox.erase(box);
}

ModuleGuard::Record* ModuleGuard::recordOf(const JObject* box) {
  guard::State& all = guard::state();
  std::lock_guard<std::mutex> hold(all.lock);
  auto found = all.byBox.find(box);
  return found != all.byBox.end() ? found->second.get() : nullptr;
}

std::string ModuleGuard::labelOf(const JObject* box) {
  if (Record* record = recordOf(box)) return record->label;
  return box != nullptr ? std::string("a ") + box->className() + " box" : "a module";
}

std::optional<ModuleGuard::Fault> ModuleGuard::faultOf(const JObject* box) {
  Record* record = recordOf(box);
  if (record == nullptr) return std::nullopt;
  std::lock_guard<std::mutex> hold(record->faultLock);
  return record->fault;
}

void ModuleGuard::setFault(const JObject* box, Fault fault) {
  // Only a box in a graph keeps a fault: another one may later take the
  // address of a box that never joined.
  Record* record = recordOf(box);
  if (record == nullptr) return;
  std::lock_guard<std::mutex> hold(record->faultLock);
  record->fault = std::move(fault);
}

void ModuleGuard::reportCurrentException(const JObject* box, const char* operation) {
  if (isPassedOnException()) {
    // Told where it was thrown; what is left is to delete a JThrowable*.
    JComponent::describeCurrentException();
    return;
  }
  tell(box, operation, JComponent::describeCurrentException());
}

void ModuleGuard::tell(const JObject* box, const char* operation, const std::string& message) {
  const std::string line = labelOf(box) + " threw in " + operation + ": " + message;
  const std::string written = "qeno-host: " + line + "\n";
  [[maybe_unused]] const ssize_t result = ::write(STDERR_FILENO, written.data(), written.size());
  setFault(box, Fault{operation, message});
  tellLineObserver(box, line);
}

void ModuleGuard::reportAndMarkCurrentException(const JObject* box, const char* operation) {
  // Passed on from deeper down, already told: on it goes as it is.
  if (passedOn && std::current_exception() == passedOn) return;
  tell(box, operation, describeKeepingIt());
  passedOn = std::current_exception();
}

void ModuleGuard::setLineObserver(
    std::function<void(const JObject* box, const std::string& line)> observer) {
  std::lock_guard<std::mutex> hold(observerLock());
  lineObserver() = std::move(observer);
}

void ModuleGuard::setPlace(Record* record, int place) {
  if (record != nullptr) record->place.store(place);
}

ModuleGuard::Loading::Loading(int place, const std::string& className, const std::string& library)
    : record_(new Record), previous_(guard::loadingRecord) {
  fill(*record_, place, className, library);
  record_->place.store(place);
  guard::loadingRecord = record_;
}

ModuleGuard::Loading::~Loading() {
  guard::loadingRecord = previous_;
  // Under the lock the watchdog reads records by.
  guard::State& all = guard::state();
  std::lock_guard<std::mutex> hold(all.lock);
  delete record_;
}
