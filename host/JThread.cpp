#include "JThread.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ModuleGuard.h"

namespace {

thread_local const JObject* runningTarget = nullptr;

}  // namespace

const JObject* JThread::currentTarget() {
  return runningTarget;
}

struct JThread::State {
  explicit State(JObject* runTarget) : target(runTarget) {}
  ~State() {
    // Only the last owner gets here. If that is the thread itself (it held the
    // final reference while finishing), joining would deadlock: detach.
    if (thread.joinable()) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        thread.join();
      }
    }
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  JObject* target;
  std::mutex lock;  // guards thread, started
  std::thread thread;
  bool started = false;
  std::atomic<bool> running{false};
  std::atomic<int> priority{JThread::TNORM_PRIORITY};
  std::mutex joinLock;  // one joiner at a time
};

JThread::JThread() = default;

JThread::JThread(JObject* target) : state_(std::make_shared<State>(target)) {}

JThread::JThread(const JThread& other) : JObject(other), state_(other.state()) {}

JThread& JThread::operator=(const JThread& other) {
  if (this != &other) setState(other.state());
  return *this;
}

JThread::~JThread() = default;

std::shared_ptr<JThread::State> JThread::state() const {
  std::lock_guard<std::mutex> hold(stateLock_);
  return state_;
}

void JThread::setState(std::shared_ptr<State> state) {
  std::shared_ptr<State> old;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    old = std::move(state_);
    state_ = std::move(state);
  }
  // old is released here, outside the guard; a running thread keeps its own
  // reference, so nothing it uses goes away.
}

void JThread::start() {
  std::shared_ptr<State> s = state();
  if (!s || s->target == nullptr) return;
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->started) return;
  s->started = true;
  s->running = true;
  s->thread = std::thread([keep = s]() mutable {
    runningTarget = keep->target;
    // Nothing may escape a thread: that would end the process.
    ModuleGuard::callThreadBody(keep->target, [&] { keep->target->run(); });
    runningTarget = nullptr;
    keep->running = false;
    keep.reset();
  });
}

void JThread::setPriority(int priority) {
  if (std::shared_ptr<State> s = state()) s->priority = priority;
}

int JThread::getPriority() const {
  std::shared_ptr<State> s = state();
  return s ? s->priority.load() : TNORM_PRIORITY;
}

void JThread::waitFor() {
  std::shared_ptr<State> s = state();
  if (!s) return;
  std::lock_guard<std::mutex> joining(s->joinLock);
  std::thread::id id;
  {
    std::lock_guard<std::mutex> hold(s->lock);
    if (!s->thread.joinable()) return;
    id = s->thread.get_id();
  }
  if (id == std::this_thread::get_id()) return;
  // Only joiners touch thread after start, and they are serialised by joinLock.
  s->thread.join();
}

bool JThread::isRunning() const {
  std::shared_ptr<State> s = state();
  return s && s->running;
}

bool JThread::isCurrentThread() const {
  std::shared_ptr<State> s = state();
  if (!s) return false;
  std::lock_guard<std::mutex> hold(s->lock);
  return s->thread.joinable() && s->thread.get_id() == std::this_thread::get_id();
}

void JThread::sleep(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
