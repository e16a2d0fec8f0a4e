#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

class JObject;

// Module code is not the host's: every call the host makes into it (a
// library's initialisation aside, which is probed in a child process) runs
// inside ModuleGuard::call. Whatever the call throws is caught: a
// std::exception, a JException* (deleted), anything else. It is told in one
// line on standard error naming the box, its class and library, the
// operation and the message, and the box is marked faulted; the host goes on.
// While the call runs, its thread records which box and operation it is in,
// so that a crash there can be told before the process ends.
class ModuleGuard {
 public:
  struct Fault {
    std::string operation;
    std::string message;
  };

  // Runs call() for box's operation; false when it threw. Any thread.
  template <class Call>
  static bool call(const JObject* box, const char* operation, Call&& call) {
    const Active active(box, operation);
    try {
      std::forward<Call>(call)();
      return true;
    } catch (...) {
      reportCurrentException(box, operation);
      return false;
    }
  }

  // Runs call() for box's operation where another box's code called it (a
  // source's getOutput inside a reader's link.access): a throw is told and
  // box marked faulted as by call(), then passed on to the caller unchanged,
  // marked so that the guard it reaches does not tell it, or blame its box,
  // again. Any thread.
  template <class Call>
  static void callPassingOn(const JObject* box, const char* operation, Call&& call) {
    const Active active(box, operation);
    try {
      std::forward<Call>(call)();
    } catch (...) {
      reportAndMarkCurrentException(box, operation);
      throw;
    }
  }

  // How fault lines name box, "box 3 (QenoServer, /usr/lib/.../libqenoserver.so)".
  // Set when the box joins a graph, dropped when it leaves. Any thread.
  static void nameBox(const JObject* box, std::string label);
  static void forgetBox(const JObject* box);
  [[nodiscard]] static std::string labelOf(const JObject* box);

  // The box's last fault, if it had one. Any thread.
  [[nodiscard]] static std::optional<Fault> faultOf(const JObject* box);

  // Told, on the thread of the fault, each line a fault is told in (without
  // the "qeno-host: " it has on standard error) and the box it names; brief.
  // An empty observer ends the telling.
  static void setLineObserver(
      std::function<void(const JObject* box, const std::string& line)> observer);

  // On SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT inside a guarded call,
  // writes one line naming the box, its class and library and the operation,
  // then lets the signal end the process with its usual status. Once, at
  // start-up, on the host thread.
  static void installCrashReporter();

 private:
  // The call a thread is in, for the crash reporter.
  class Active {
   public:
    Active(const JObject* box, const char* operation);
    ~Active();
    Active(const Active&) = delete;
    Active& operator=(const Active&) = delete;

   private:
    const char* previousLabel_;
    const char* previousOperation_;
  };

  static void reportCurrentException(const JObject* box, const char* operation);
  static void reportAndMarkCurrentException(const JObject* box, const char* operation);
  static void tell(const JObject* box, const char* operation, const std::string& message);
};
