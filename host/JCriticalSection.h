#pragma once

#include <memory>
#include <mutex>

#include "JObject.h"
#include "ThreadAnnotations.h"

// A mutex. Copying or assigning gives the target a fresh lock of its own: a
// lock is never shared between objects and never copied while held.
// Fields it guards say so with QENO_GUARDED_BY, which clang checks.
class QENO_CAPABILITY("mutex") JCriticalSection : public JObject {
 public:
  JCriticalSection() : mutex_(std::make_unique<std::mutex>()) {}
  JCriticalSection(const JCriticalSection& /*other*/) : JCriticalSection() {}
  JCriticalSection& operator=(const JCriticalSection& /*other*/) { return *this; }
  ~JCriticalSection() override = default;

  [[nodiscard]] const char* className() const override { return "JCriticalSection"; }
  [[nodiscard]] JObject* clone() const override { return new JCriticalSection(); }

  // Const, so that a const reader can take the lock of the data it reads.
  void enter() const QENO_ACQUIRE() { mutex_->lock(); }
  void leave() const QENO_RELEASE() { mutex_->unlock(); }

  // Scoped enter/leave.
  class QENO_SCOPED_CAPABILITY Guard {
   public:
    explicit Guard(const JCriticalSection& section) QENO_ACQUIRE(section) : section_(section) {
      section_.enter();
    }
    ~Guard() QENO_RELEASE() { section_.leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    const JCriticalSection& section_;
  };

 private:
  std::unique_ptr<std::mutex> mutex_;
};
