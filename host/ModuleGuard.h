#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class JObject;

// Module code is not the host's: every call the host makes into it (a
// library's initialisation aside, which is probed in a child process) runs
// inside ModuleGuard::call. Whatever the call throws is caught: a
// std::exception, a JException* (deleted), anything else. It is told in one
// line on standard error naming the box, its class and library, the
// operation and the message, and the box is marked faulted; the host goes on.
// While the call runs, its thread records which box and operation it is in,
// so that a crash there can be told (and recorded) before the process ends,
// and a call that does not return can be told while it lasts.
class ModuleGuard {
 public:
  struct Fault {
    std::string operation;
    std::string message;
  };
  // What a box that joined a graph is known by; its address stays put until
  // forgetBox, so a graph may keep it with the box and hand it to call.
  struct Record;

  // Runs call() for box's operation; false when it threw. Any thread. Looks
  // the box's record up under a process-wide lock: see the overload below
  // for the calls on the request path.
  template <class Call>
  static bool call(const JObject* box, const char* operation, Call&& call) {
    const Active active(box, operation);
    return run(box, operation, std::forward<Call>(call));
  }
  // The same for a box whose record is at hand (null: none), without the
  // process-wide lock.
  template <class Call>
  static bool call(Record* record, const JObject* box, const char* operation, Call&& call) {
    const Active active(record, box, operation, true);
    return run(box, operation, std::forward<Call>(call));
  }
  // A thread's own body (run): guarded and named like any call, but never
  // told as a hang, however long it runs.
  template <class Call>
  static bool callThreadBody(const JObject* box, Call&& call) {
    const Active active(nullptr, box, "run", false);
    return run(box, "run", std::forward<Call>(call));
  }
  // Marks the call as box's operation, for the crash reporter and the
  // watchdog, but lets what it throws pass: for a caller that tells a
  // failure in its own words.
  template <class Call>
  static void traced(const JObject* box, const char* operation, Call&& call) {
    const Active active(box, operation);
    std::forward<Call>(call)();
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

  // How lines name box: "box 3 (QenoServer, /usr/lib/.../libqenoserver.so)".
  // Set when the box joins a graph, dropped when it leaves. Any thread.
  static Record* nameBox(const JObject* box, int number, const std::string& className,
                         const std::string& library);
  static void forgetBox(const JObject* box);
  [[nodiscard]] static Record* recordOf(const JObject* box);
  [[nodiscard]] static std::string labelOf(const JObject* box);

  // The box's last fault, if it had one; setFault marks it as a throw would.
  // Any thread.
  [[nodiscard]] static std::optional<Fault> faultOf(const JObject* box);
  static void setFault(const JObject* box, Fault fault);

  // Told, on the thread of the fault, each line a fault is told in (without
  // the "qeno-host: " it has on standard error) and the box it names; brief.
  // An empty observer ends the telling.
  static void setLineObserver(
      std::function<void(const JObject* box, const std::string& line)> observer);

  // ---- Crashes: told, and recorded beside the saved graph.

  // On SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT inside a guarded call,
  // writes one line naming the box, its class and library and the operation,
  // records the box (see recordCrashesIn), then lets the signal end the
  // process with its usual status. Once, at start-up, on the host thread.
  static void installCrashReporter();
  // The file a crash appends its record line to, or none (empty). Host
  // thread, at start-up, before any box runs. The line, tab-separated:
  //   PLACE CLASS LIBRARY OPERATION SECONDS-SINCE-1970 SIGNAL
  // PLACE is where the box stands in the served graph (setPlace): its
  // number at the next load of the saved graph.
  static void recordCrashesIn(const std::string& path);
  // Where record's box stands in the graph whose crashes are recorded; -1:
  // its crash is told but not recorded. Host thread.
  static void setPlace(Record* record, int place);
  // While it lives, the calling thread's calls into a box that has no
  // record yet (the registered instance's clone, the new box's readContent)
  // count as calls of the box that will stand at place: told by that name,
  // and a crash recorded for that place.
  class Loading {
   public:
    Loading(int place, const std::string& className, const std::string& library);
    ~Loading();
    Loading(const Loading&) = delete;
    Loading& operator=(const Loading&) = delete;

   private:
    Record* record_;
    Record* previous_;
  };

  // ---- Hangs: a call that has not returned within a second is told while
  // it lasts, and again when it returns. Nothing is ended.

  struct Hang {
    std::string label;      // "box 3 (Class, library)"
    int number = -1;        // the box's number in its graph, or -1
    std::string operation;  // "inputChanged"
    double seconds = 0;     // how long the call has run, or ran
    bool returned = false;
    // The box whose code it is, as a key only: once the call has returned,
    // a destructor's box is gone.
    const JObject* box = nullptr;
    // "box 3 (Class, library) is still in inputChanged after 1.2 s", or
    // "... returned from inputChanged after 3.0 s".
    [[nodiscard]] std::string line() const;
  };
  // Starts and stops the thread that watches the calls. Host thread.
  static void startWatchdog();
  static void stopWatchdog();
  // The calls told as hanging that have not returned yet. Any thread.
  [[nodiscard]] static std::vector<Hang> hangs();
  // Told each hang and each return of a told hang, after its line went to
  // standard error, on the watchdog's or the returning thread: it must be
  // brief and must not call back into ModuleGuard. An empty observer ends
  // the telling.
  static void setHangObserver(std::function<void(const Hang&)> observer);

 private:
  // The call a thread is in, for the crash reporter and the watchdog. Its
  // size is that of the class modules built against 0.1 have inlined.
  class Active {
   public:
    Active(const JObject* box, const char* operation);
    Active(Record* record, const JObject* box, const char* operation, bool watched);
    ~Active();
    Active(const Active&) = delete;
    Active& operator=(const Active&) = delete;

   private:
    void* slot_;
    int index_;
  };

  template <class Call>
  static bool run(const JObject* box, const char* operation, Call&& call) {
    try {
      std::forward<Call>(call)();
      return true;
    } catch (...) {
      reportCurrentException(box, operation);
      return false;
    }
  }
  static void reportCurrentException(const JObject* box, const char* operation);
  static void reportAndMarkCurrentException(const JObject* box, const char* operation);
  static void tell(const JObject* box, const char* operation, const std::string& message);
};
