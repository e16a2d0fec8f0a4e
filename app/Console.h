#pragma once

#include <string>

// Whole lines to standard output and standard error, from any thread,
// never interleaved.
namespace console {
void out(const std::string& line);
void err(const std::string& line);
void prompt();
void setInteractive(bool value);
}  // namespace console
