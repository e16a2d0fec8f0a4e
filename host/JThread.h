#pragma once

#include <memory>
#include <mutex>

#include "JObject.h"

// A thread that runs target->run(). Copies share one thread, so a module can
// build a JThread as a temporary and assign it to its member. Assigning over
// a thread that is still running lets it run on (detached); it never ends the
// process. Thread-safe: any thread may call any operation.
class JThread : public JObject {
 public:
  static constexpr int TNORM_PRIORITY = 5;

  JThread();
  explicit JThread(JObject* target);
  JThread(const JThread& other);
  JThread& operator=(const JThread& other);
  ~JThread() override;

  [[nodiscard]] const char* className() const override { return "JThread"; }
  [[nodiscard]] JObject* clone() const override { return new JThread(*this); }

  // Starts target->run() on a new thread; a second start does nothing.
  void start();
  // Recorded only: threads here run under the default scheduling policy,
  // which has no priorities an unprivileged process could raise.
  void setPriority(int priority);
  [[nodiscard]] int getPriority() const;
  // Blocks until run() has returned. Returns at once when the thread was never
  // started or when called from the thread itself.
  void waitFor();
  [[nodiscard]] bool isRunning() const;
  [[nodiscard]] bool isCurrentThread() const;

  static void sleep(int milliseconds);
  // The object whose run() the calling thread runs, or null on a thread
  // that no JThread started.
  [[nodiscard]] static const JObject* currentTarget();

  struct State;

 private:
  [[nodiscard]] std::shared_ptr<State> state() const;
  void setState(std::shared_ptr<State> state);

  mutable std::mutex stateLock_;  // guards state_ itself, assigned while others copy it
  std::shared_ptr<State> state_;
};
