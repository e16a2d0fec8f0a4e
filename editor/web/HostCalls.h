#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "JGraph.h"
#include "WebRequests.h"

// The page's way onto the host thread: its HTTP threads never touch a box,
// they hand the work to the graph's event queue and wait for it, bounded.
class HostCalls {
 public:
  // afterEach runs on the host thread after every call's work.
  HostCalls(JGraph& graph, std::function<void()> afterEach);

  // HTTP thread: runs work on the host thread and waits for its outcome; 503
  // when qeno-host is stopping or does not answer within five seconds.
  webrequest::Outcome run(std::function<webrequest::Outcome()> work) const;
  // Any thread: waiting calls give up, later ones are refused, and work
  // still queued does not run.
  void stop() { state_->stopping = true; }
  [[nodiscard]] bool stopping() const { return state_->stopping.load(); }

 private:
  // Shared with the tasks on the queue, which may run after this is gone.
  struct State {
    State(JGraph& graph, std::function<void()> afterEach)
        : graph(graph), afterEach(std::move(afterEach)) {}
    JGraph& graph;
    std::function<void()> afterEach;
    std::atomic<bool> stopping{false};
  };
  std::shared_ptr<State> state_;
};
