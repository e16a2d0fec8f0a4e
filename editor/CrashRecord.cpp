#include "CrashRecord.h"

#include <time.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "FileIo.h"

namespace {

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

template <typename Number>
bool wholeNumber(const std::string& text, Number& value) {
  const char* end = text.data() + text.size();
  auto [stop, problem] = std::from_chars(text.data(), end, value);
  return problem == std::errc() && stop == end && !text.empty();
}

}  // namespace

std::string CrashEntry::heldText() const {
  const auto seconds = static_cast<time_t>(when);
  tm local{};
  char at[32] = "an unknown time";
  if (::localtime_r(&seconds, &local) != nullptr) {
    std::strftime(at, sizeof at, "%Y-%m-%d %H:%M:%S", &local);
  }
  return "held: it crashed in " + operation + " at " + at;
}

std::string CrashEntry::line() const {
  return std::to_string(place) + "\t" + className + "\t" + library + "\t" + operation + "\t" +
         std::to_string(when) + "\t" + signal + "\n";
}

std::string CrashRecord::besideSavedGraph(const std::string& savedGraph) {
  return savedGraph + ".crashed";
}

std::vector<CrashEntry> CrashRecord::read() const {
  std::error_code missing;
  if (!std::filesystem::exists(path_, missing)) return {};
  std::istringstream text(readWholeFile(path_));
  std::vector<CrashEntry> entries;
  std::string line;
  while (std::getline(text, line)) {
    const std::vector<std::string> fields = fieldsOf(line);
    CrashEntry entry;
    if (fields.size() != 6 || !wholeNumber(fields[0], entry.place) || entry.place < 0 ||
        fields[1].empty() || fields[3].empty() || !wholeNumber(fields[4], entry.when)) {
      continue;
    }
    entry.className = fields[1];
    entry.library = fields[2];
    entry.operation = fields[3];
    entry.signal = fields[5];
    entries.push_back(std::move(entry));
  }
  return entries;
}

void CrashRecord::write(const std::vector<CrashEntry>& entries) const {
  if (entries.empty()) {
    std::error_code error;
    std::filesystem::remove(path_, error);
    if (error) {
      throw std::runtime_error(path_ + ": cannot remove the crash record: " + error.message());
    }
    return;
  }
  std::string text;
  for (const CrashEntry& entry : entries) text += entry.line();
  writeFileAtomically(path_, text);
}
