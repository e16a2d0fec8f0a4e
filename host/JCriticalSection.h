#pragma once

#include <memory>
#include <mutex>

#include "JObject.h"

// A mutex. Copying or assigning gives the target a fresh lock of its own: a
// lock is never shared between objects and never copied while held.
class JCriticalSection : public JObject {
 public:
  JCriticalSection() : mutex_(std::make_unique<std::mutex>()) {}
  JCriticalSection(const JCriticalSection& /*other*/) : JCriticalSection() {}
  JCriticalSection& operator=(const JCriticalSection& /*other*/) { return *this; }
  ~JCriticalSection() override = default;

  [[nodiscard]] const char* className() const override { return "JCriticalSection"; }
  [[nodiscard]] JObject* clone() const override { return new JCriticalSection(); }

  void enter() { mutex_->lock(); }
  void leave() { mutex_->unlock(); }

  // Scoped enter/leave.
  class Guard {
   public:
    explicit Guard(JCriticalSection& section) : section_(section) { section_.enter(); }
    ~Guard() { section_.leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    JCriticalSection& section_;
  };

 private:
  std::unique_ptr<std::mutex> mutex_;
};
