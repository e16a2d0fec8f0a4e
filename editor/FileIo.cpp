#include "FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "JComponent.h"

namespace {

std::string systemReason(int error) {
  return std::system_category().message(error);
}

[[noreturn]] void fail(const std::string& path, const std::string& detail) {
  throw std::runtime_error(
      JComponent::escape(path + ": " + detail, JComponent::EscapeStyle::kUtf8));
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A new file beside path, open for writing, its name in temporary: saves
// are written there and renamed over path, so a reader sees the old file or
// the new one, never a part. Throws when the folder takes no new file, or
// when path is a folder that a rename could not replace.
int createBeside(const std::string& path, std::string& temporary) {
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
    fail(path, "cannot write: " + systemReason(EISDIR));
  }
  static std::atomic<unsigned> counter{0};
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    // 0666 less the umask, as for any new file.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) fail(path, "cannot write: " + systemReason(errno));
  return fd;
}

}  // namespace

void checkWritableBeside(const std::string& path) {
  std::string temporary;
  ::close(createBeside(path, temporary));
  ::unlink(temporary.c_str());
}

void writeFileAtomically(const std::string& path, const std::string& text) {
  std::string temporary;
  const int fd = createBeside(path, temporary);

  auto abandon = [&](int error) {
    ::close(fd);
    ::unlink(temporary.c_str());
    fail(path, "cannot write: " + systemReason(error));
  };
  // A replaced file keeps its permissions.
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    ::fchmod(fd, existing.st_mode & 07777);
  }
  if (!writeAll(fd, text)) abandon(errno);
  if (::fsync(fd) != 0) abandon(errno);
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    fail(path, "cannot write: " + systemReason(error));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    fail(path, "cannot write: " + systemReason(error));
  }
}

std::string readWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(path, "cannot read: " + systemReason(errno));
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      fail(path, "cannot read: " + systemReason(error));
    }
  }
  ::close(fd);
  return text;
}
