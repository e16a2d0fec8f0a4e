#pragma once

#include <string>

// Whole files read and written safely. Each throws std::runtime_error with a
// one-line message naming the path and the system's reason.

std::string readWholeFile(const std::string& path);
// Writes text to a new file beside path and renames it over path, so a
// reader sees the old file or the new one, never a part. A replaced file
// keeps its permissions.
void writeFileAtomically(const std::string& path, const std::string& text);
// Whether writeFileAtomically could write path, found by creating and
// removing a file beside it.
void checkWritableBeside(const std::string& path);
