#include "ModuleVersion.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

constexpr const char* kSectionName = ".qeno_host_version";
// A marker is a version text or a few of them; more is not a marker.
constexpr std::uint64_t kLongestSection = 4096;
constexpr std::uint64_t kLongestNameTable = std::uint64_t{1} << 20;

// A file opened for reading without blocking (a named pipe would block an
// ordinary open), refused unless it is a regular file.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
      reason_ = std::strerror(errno);
      return;
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
      reason_ = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
      reason_ = "not a regular file";
    } else {
      size_ = static_cast<std::uint64_t>(status.st_size);
    }
  }
  ~ReadOnlyFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Empty when the file can be read.
  [[nodiscard]] const std::string& reason() const { return reason_; }

  // Reads exactly size bytes at offset; false when they are not all inside
  // the file.
  bool readAt(std::uint64_t offset, void* into, std::uint64_t size) const {
    if (offset > size_ || size > size_ - offset) return false;
    auto* bytes = static_cast<char*>(into);
    while (size > 0) {
      const ssize_t got = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      bytes += got;
      offset += static_cast<std::uint64_t>(got);
      size -= static_cast<std::uint64_t>(got);
    }
    return true;
  }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::string reason_;
};

bool isOwnByteOrder(unsigned char data) {
  const std::uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return data == (first == 1 ? ELFDATA2LSB : ELFDATA2MSB);
}

// The text as it may appear in a one-line message.
std::string printable(std::string text) {
  constexpr std::size_t kLongest = 40;
  if (text.size() > kLongest) text.resize(kLongest);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  }
  return text;
}

}  // namespace

ModuleVersionMarker readModuleVersionMarker(const std::string& path) {
  ModuleVersionMarker marker;
  const ReadOnlyFile file(path);
  if (!file.reason().empty()) {
    marker.kind = ModuleVersionMarker::Kind::kUnreadable;
    marker.reason = file.reason();
    return marker;
  }

  Elf64_Ehdr header{};
  if (!file.readAt(0, &header, sizeof header) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      !isOwnByteOrder(header.e_ident[EI_DATA])) {
    marker.kind = ModuleVersionMarker::Kind::kNotElf;
    return marker;
  }
  marker.kind = ModuleVersionMarker::Kind::kMissing;
  if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 ||
      header.e_shstrndx == SHN_UNDEF || header.e_shstrndx >= header.e_shnum) {
    return marker;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (!file.readAt(header.e_shoff, sections.data(), sizeof(Elf64_Shdr) * sections.size())) {
    return marker;
  }
  // Checked again: a slip in the test above throws instead of reading past.
  const Elf64_Shdr& nameTable = sections.at(header.e_shstrndx);
  if (nameTable.sh_size == 0 || nameTable.sh_size > kLongestNameTable) return marker;
  std::string names(nameTable.sh_size, '\0');
  if (!file.readAt(nameTable.sh_offset, names.data(), names.size())) return marker;

  for (const Elf64_Shdr& section : sections) {
    if (section.sh_name >= names.size()) continue;
    if (std::strcmp(names.c_str() + section.sh_name, kSectionName) != 0) continue;
    if (section.sh_type == SHT_NOBITS || section.sh_size == 0 ||
        section.sh_size > kLongestSection) {
      return marker;
    }
    std::string bytes(section.sh_size, '\0');
    if (!file.readAt(section.sh_offset, bytes.data(), bytes.size())) return marker;
    // One text per distinct version the library's parts were built with.
    std::size_t start = 0;
    while (start < bytes.size()) {
      std::size_t stop = bytes.find('\0', start);
      if (stop == std::string::npos) stop = bytes.size();
      if (stop > start) marker.versions.push_back(printable(bytes.substr(start, stop - start)));
      start = stop + 1;
    }
    if (!marker.versions.empty()) marker.kind = ModuleVersionMarker::Kind::kFound;
    return marker;
  }
  return marker;
}

int majorVersionOf(const std::string& version) {
  int major = -1;
  const char* first = version.data();
  const char* last = first + version.size();
  auto [stop, problem] = std::from_chars(first, last, major);
  if (problem != std::errc() || stop == first || (stop != last && *stop != '.') || major < 0) {
    return -1;
  }
  return major;
}
