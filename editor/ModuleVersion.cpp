#include "ModuleVersion.h"

#include <elf.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

constexpr const char* kSectionName = ".qeno_host_version";
// A marker is a version text or a few of them; more is not a marker.
constexpr std::uint64_t kLongestSection = 4096;
constexpr std::uint64_t kLongestNameTable = std::uint64_t{1} << 20;

bool readAt(std::ifstream& file, std::uint64_t offset, void* into, std::uint64_t size,
            std::uint64_t fileSize) {
  if (offset > fileSize || size > fileSize - offset) return false;
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(static_cast<char*>(into), static_cast<std::streamsize>(size));
  return static_cast<bool>(file);
}

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
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) {
    marker.kind = ModuleVersionMarker::Kind::kUnreadable;
    marker.reason = std::strerror(errno != 0 ? errno : EIO);
    return marker;
  }
  const auto end = static_cast<std::streamoff>(file.tellg());
  if (end < 0) {
    marker.kind = ModuleVersionMarker::Kind::kUnreadable;
    marker.reason = "cannot tell its size";
    return marker;
  }
  const auto fileSize = static_cast<std::uint64_t>(end);

  Elf64_Ehdr header{};
  if (!readAt(file, 0, &header, sizeof header, fileSize) ||
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
  if (!readAt(file, header.e_shoff, sections.data(), sizeof(Elf64_Shdr) * sections.size(),
              fileSize)) {
    return marker;
  }
  const Elf64_Shdr& nameTable = sections[header.e_shstrndx];
  if (nameTable.sh_size == 0 || nameTable.sh_size > kLongestNameTable) return marker;
  std::string names(nameTable.sh_size, '\0');
  if (!readAt(file, nameTable.sh_offset, names.data(), names.size(), fileSize)) return marker;

  for (const Elf64_Shdr& section : sections) {
    if (section.sh_name >= names.size()) continue;
    if (std::strcmp(names.c_str() + section.sh_name, kSectionName) != 0) continue;
    if (section.sh_type == SHT_NOBITS || section.sh_size == 0 ||
        section.sh_size > kLongestSection) {
      return marker;
    }
    std::string bytes(section.sh_size, '\0');
    if (!readAt(file, section.sh_offset, bytes.data(), bytes.size(), fileSize)) return marker;
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
