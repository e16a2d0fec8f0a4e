#include "HostCalls.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

using webrequest::failure;
using webrequest::Outcome;

namespace {

constexpr auto kHostWait = std::chrono::seconds(5);

}  // namespace

HostCalls::HostCalls(JGraph& graph, std::function<void()> afterEach)
    : state_(std::make_shared<State>(graph, std::move(afterEach))) {}

Outcome HostCalls::run(std::function<Outcome()> work) const {
  struct Pending {
    std::mutex lock;  // guards done, outcome
    std::condition_variable finished;
    bool done = false;
    Outcome outcome;
  };
  auto pending = std::make_shared<Pending>();
  state_->graph.post([state = state_, pending, work = std::move(work)] {
    if (state->stopping) return;
    Outcome outcome = work();
    {
      std::lock_guard<std::mutex> hold(pending->lock);
      pending->outcome = std::move(outcome);
      pending->done = true;
    }
    pending->finished.notify_all();
    if (state->afterEach) state->afterEach();
  });
  // Waits in slices so that a stop does not wait for a task that will not run.
  const auto deadline = std::chrono::steady_clock::now() + kHostWait;
  std::unique_lock<std::mutex> hold(pending->lock);
  while (!pending->done) {
    if (state_->stopping) return failure(503, "qeno-host is stopping");
    if (std::chrono::steady_clock::now() >= deadline) {
      return failure(503, "qeno-host did not answer in time");
    }
    pending->finished.wait_for(hold, std::chrono::milliseconds(50));
  }
  return pending->outcome;
}
