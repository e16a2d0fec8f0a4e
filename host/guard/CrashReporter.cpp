// The crash reporter: a fatal signal inside a guarded call is told naming
// the box, and recorded beside the saved graph so that the next start can
// hold that box rather than walk into the same crash.

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "GuardState.h"
#include "ModuleGuard.h"

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// Written at start-up, before any box runs; read by the signal handler.
char crashPath[4096] = {};

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

// A line built in a fixed buffer: what does not fit is cut.
struct Line {
  char text[8192]{};
  std::size_t used = 0;

  void add(const char* part) {
    while (*part != '\0' && used + 1 < sizeof text) text[used++] = *part++;
  }
  void add(long long number) {
    char digits[24];
    std::size_t count = 0;
    const bool negative = number < 0;
    unsigned long long rest = negative ? 0ULL - static_cast<unsigned long long>(number)
                                       : static_cast<unsigned long long>(number);
    do {
      digits[count++] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0 && count < sizeof digits);
    if (negative) add("-");
    while (count > 0 && used + 1 < sizeof text) text[used++] = digits[--count];
  }
  bool writeTo(int fd) const {
    std::size_t done = 0;
    while (done < used) {
      const ssize_t wrote = ::write(fd, text + done, used - done);
      if (wrote <= 0) return false;
      done += static_cast<std::size_t>(wrote);
    }
    return true;
  }
};

// Appends record's line to the crash record; false when it cannot.
bool recordCrash(const ModuleGuard::Record& record, const char* operation, int signal) {
  const int place = record.place.load();
  if (place < 0 || crashPath[0] == '\0') return false;
  Line line;
  line.add(static_cast<long long>(place));
  line.add("\t");
  line.add(record.crashFields.c_str());
  line.add("\t");
  line.add(operation);
  line.add("\t");
  line.add(static_cast<long long>(::time(nullptr)));
  line.add("\t");
  line.add(signalName(signal));
  line.add("\n");
  const int fd = ::open(crashPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = line.writeTo(fd);
  ::close(fd);
  return written;
}

// Async-signal-safe throughout: fixed buffers, open, write, close, time,
// sigaction, raise.
void onCrash(int signal) {
  const guard::Frame* frame = guard::innermostFrame();
  const char* operation = frame != nullptr ? frame->operation.load() : nullptr;
  if (operation != nullptr) {
    const ModuleGuard::Record* record = frame->record.load();
    Line told;
    told.add("qeno-host: ");
    told.add(record != nullptr ? record->label.c_str() : "a box");
    told.add(" crashed in ");
    told.add(operation);
    told.add(" (");
    told.add(signalName(signal));
    told.add("); the host ends\n");
    told.writeTo(STDERR_FILENO);
    if (record != nullptr && recordCrash(*record, operation, signal)) {
      Line held;
      held.add("qeno-host: recorded in ");
      held.add(crashPath);
      held.add("; the next start holds the box until it is released\n");
      held.writeTo(STDERR_FILENO);
    }
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  // A fault re-runs its instruction on return and meets the default action;
  // a raised signal is raised again.
  ::raise(signal);
}

}  // namespace

void ModuleGuard::installCrashReporter() {
  struct sigaction action {};
  action.sa_handler = onCrash;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int signal : kCrashSignals) ::sigaction(signal, &action, nullptr);
}

void ModuleGuard::recordCrashesIn(const std::string& path) {
  if (path.size() >= sizeof crashPath) {
    crashPath[0] = '\0';
    return;
  }
  std::memcpy(crashPath, path.c_str(), path.size() + 1);
}
