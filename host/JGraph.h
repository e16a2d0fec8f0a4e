#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "JModuleObj.h"
#include "ModuleGuard.h"

// A data-flow graph: the modules the host owns and the links between them,
// plus the host thread's event queue. The thread that created the graph is
// the host thread: it adds, links, removes and paints, and runs the queued
// events. propagate, requestRepaint and post may come from any thread.
class JGraph {
 public:
  JGraph();
  ~JGraph();
  JGraph(const JGraph&) = delete;
  JGraph& operator=(const JGraph&) = delete;

  // Adds module under a number of its own, which it keeps while it is in the
  // graph: the next unused one, or number (one that left the graph and comes
  // back). modules() stays in the order of the numbers.
  JModuleObj& add(std::unique_ptr<JModuleObj> module, int number = -1);
  // Links output `output` of from to input `input` of to. Throws
  // std::invalid_argument, with a one-line reason, for a port outside the
  // modules' counts, different data types, or an input that takes no
  // further link.
  JLinkObj& link(JModuleObj& from, int output, JModuleObj& to, int input);
  void unlink(JLinkObj& link);
  // Removes its links (no value reaches it after), stops it and destroys it.
  void remove(JModuleObj& module);
  // Stops every module (each awaits its own worker).
  void stopAll();

  [[nodiscard]] const std::vector<std::unique_ptr<JModuleObj>>& modules() const { return modules_; }
  [[nodiscard]] std::vector<std::shared_ptr<JLinkObj>> links() const;
  // Position of module in modules(), or -1.
  [[nodiscard]] int indexOf(const JModuleObj& module) const;
  // The number module was added under, or -1; the module under number, or null.
  [[nodiscard]] int numberOf(const JModuleObj& module) const;
  [[nodiscard]] JModuleObj* numbered(int number) const;

  // Calls inputChanged on every input linked to output `output` of source.
  void propagate(JModuleObj& source, int output);
  // Queues a repaint of module for the host thread (coalesced).
  void requestRepaint(JModuleObj& module);
  // Queues a task for the host thread.
  void post(std::function<void()> task);

  // Host thread: runs queued tasks and repaints; returns how many ran.
  int processEvents();
  // Host thread: waits up to timeoutMs for something to be queued.
  bool waitForEvents(int timeoutMs);
  // Readable while events are queued, for a host loop that polls.
  [[nodiscard]] int eventFd() const { return eventFd_; }
  // What a repaint does; without a handler repaints are only counted.
  void setRepaintHandler(std::function<void(JModuleObj&)> handler);

  // Told (box, output) whenever a box hands on an output, linked or not, on the thread
  // that published it, with the graph's link lock held: it must be brief and
  // must not call back into the graph. An empty observer ends the telling.
  void setOutputObserver(std::function<void(const JModuleObj&, int)> observer);

  // From now on each box's record holds its place among modules(), its
  // number at the next load of the graph as saved, so that a crash in one
  // of its calls is recorded for that place (ModuleGuard::recordCrashesIn).
  void recordCrashes();

  // Something a saved graph holds has changed: a module, a link, a setting
  // or a source's value. Any thread; a host that saves compares the count.
  void noteChange() { changes_.fetch_add(1); }
  [[nodiscard]] std::uint64_t changeCount() const { return changes_.load(); }

 private:
  // A link with its target's guard record, which propagate hands to the
  // guard without a process-wide lookup.
  struct Wire {
    std::shared_ptr<JLinkObj> link;
    ModuleGuard::Record* target = nullptr;
  };

  void signal();
  void unlinkAllOf(const JModuleObj& module);
  void updatePlaces();

  std::vector<std::unique_ptr<JModuleObj>> modules_;  // host thread only
  std::vector<int> numbers_;                          // of modules_, ascending; host thread only
  int nextNumber_ = 0;                                // host thread only
  bool recordsCrashes_ = false;                       // host thread only

  mutable std::mutex linksLock_;  // guards links_, inFlight_, outputObserver_
  std::condition_variable idle_;
  std::vector<Wire> links_;
  int inFlight_ = 0;
  std::function<void(const JModuleObj&, int)> outputObserver_;

  std::mutex eventsLock_;  // guards tasks_, repaints_, repaintHandler_
  std::vector<std::function<void()>> tasks_;
  std::set<JModuleObj*> repaints_;
  std::function<void(JModuleObj&)> repaintHandler_;
  int eventFd_ = -1;
  std::atomic<std::uint64_t> changes_{0};
};
