#include "ModuleProbe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "JComponent.h"

namespace {

constexpr int kThrew = 70;  // the child's exit status after an uncaught throw
int reportFd = -1;          // the child's end of the pipe

// In the child: the initialiser threw, which ends in std::terminate.
[[noreturn]] void onTerminate() {
  std::string what = "its initialisation ended the process";
  if (std::exception_ptr thrown = std::current_exception()) {
    try {
      std::rethrow_exception(thrown);
    } catch (...) {
      what = "its initialisation threw: " + JComponent::describeCurrentException();
    }
  }
  [[maybe_unused]] const ssize_t written = ::write(reportFd, what.data(), what.size());
  ::_exit(kThrew);
}

[[noreturn]] void runChild(const std::string& path, int fd) {
  reportFd = fd;
  // The library's own output, and the registry's refusals, are the real
  // load's to tell.
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
  }
  std::set_terminate(onTerminate);
  // dlopen is declared not to throw, so a throw from an initialiser ends in
  // std::terminate at the call, or, where the caller has nothing to clean
  // up, unwinds on into this process's copy of the host. Called through a
  // pointer the compiler cannot see through, the throw stops here.
  using Open = void* (*)(const char*, int);
  Open volatile open = ::dlopen;
  try {
    open(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  } catch (...) {
    const std::string what = "its initialisation threw: " + JComponent::describeCurrentException();
    [[maybe_unused]] const ssize_t written = ::write(fd, what.data(), what.size());
    ::_exit(kThrew);
  }
  // No destructors or exit handlers of the parent's copy may run here.
  ::_exit(0);
}

}  // namespace

std::string probeModuleInitialisation(const std::string& path) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};  // cannot probe: load as before
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return {};
  }
  if (child == 0) {
    ::close(fds[0]);
    runChild(path, fds[1]);
  }
  ::close(fds[1]);
  std::string report;
  char buffer[512];
  for (;;) {
    const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got > 0) {
      report.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  if (WIFEXITED(status) && WEXITSTATUS(status) == kThrew && !report.empty()) return report;
  if (WIFSIGNALED(status)) {
    return std::string("its initialisation crashed (") + ::strsignal(WTERMSIG(status)) + ")";
  }
  return "its initialisation ended the process (exit status " +
         std::to_string(WEXITSTATUS(status)) + ")";
}
