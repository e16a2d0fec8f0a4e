#include "ModuleGuard.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <map>
#include <mutex>

#include "JComponent.h"
#include "JException.h"
#include "JObject.h"

namespace {

struct Record {
  std::string label;  // its c_str() is what a crashing thread writes
  std::optional<ModuleGuard::Fault> fault;
};

std::mutex& recordsLock() {
  static std::mutex lock;
  return lock;
}

// Guarded by recordsLock(). Nodes keep their address, so a label's text
// stays put while its box lives.
std::map<const JObject*, Record>& records() {
  static std::map<const JObject*, Record> table;
  return table;
}

// Read by the crash reporter: initial-exec, so reading them in a signal
// handler never allocates.
__attribute__((tls_model("initial-exec"))) thread_local const char* activeLabel = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local const char* activeOperation = nullptr;

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

const char* signalName(int signal) {
  switch (signal) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
    default:
      return "a signal";
  }
}

void append(char* line, std::size_t size, std::size_t& used, const char* text) {
  while (*text != '\0' && used + 1 < size) line[used++] = *text++;
}

// Async-signal-safe throughout: fixed buffers, write(2), sigaction, raise.
void onCrash(int signal) {
  const char* label = activeLabel;
  const char* operation = activeOperation;
  if (operation != nullptr) {
    char line[512];
    std::size_t used = 0;
    append(line, sizeof line, used, "qeno-host: ");
    append(line, sizeof line, used, label != nullptr ? label : "a box");
    append(line, sizeof line, used, " crashed in ");
    append(line, sizeof line, used, operation);
    append(line, sizeof line, used, " (");
    append(line, sizeof line, used, signalName(signal));
    append(line, sizeof line, used, "); the host ends\n");
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, used);
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  // A fault re-runs its instruction on return and meets the default action;
  // a raised signal is raised again.
  ::raise(signal);
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

ModuleGuard::Active::Active(const JObject* box, const char* operation)
    : previousLabel_(activeLabel), previousOperation_(activeOperation) {
  std::lock_guard<std::mutex> hold(recordsLock());
  auto found = records().find(box);
  activeLabel = found != records().end() ? found->second.label.c_str() : nullptr;
  activeOperation = operation;
}

ModuleGuard::Active::~Active() {
  activeLabel = previousLabel_;
  activeOperation = previousOperation_;
}

void ModuleGuard::nameBox(const JObject* box, std::string label) {
  std::lock_guard<std::mutex> hold(recordsLock());
  records()[box].label = std::move(label);
}

void ModuleGuard::forgetBox(const JObject* box) {
  std::lock_guard<std::mutex> hold(recordsLock());
  records().erase(box);
}

std::string ModuleGuard::labelOf(const JObject* box) {
  {
    std::lock_guard<std::mutex> hold(recordsLock());
    auto found = records().find(box);
    if (found != records().end() && !found->second.label.empty()) return found->second.label;
  }
  return box != nullptr ? std::string("a ") + box->className() + " box" : "a module";
}

std::optional<ModuleGuard::Fault> ModuleGuard::faultOf(const JObject* box) {
  std::lock_guard<std::mutex> hold(recordsLock());
  auto found = records().find(box);
  if (found == records().end()) return std::nullopt;
  return found->second.fault;
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
  {
    // Only a box in a graph keeps a fault: another one may later take the
    // address of a box that never joined.
    std::lock_guard<std::mutex> hold(recordsLock());
    auto found = records().find(box);
    if (found != records().end()) found->second.fault = Fault{operation, message};
  }
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

void ModuleGuard::installCrashReporter() {
  struct sigaction action {};
  action.sa_handler = onCrash;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int signal : kCrashSignals) ::sigaction(signal, &action, nullptr);
}
