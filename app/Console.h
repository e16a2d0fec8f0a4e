#pragma once

#include <chrono>
#include <functional>
#include <string>

class JModuleObj;

// Whole lines to standard output and standard error, from any thread,
// never interleaved. Every line of err() and note() is also handed to the
// tee (the page's log), with the box it is about, if any.
namespace console {
void out(const std::string& line);
void err(const std::string& line, const JModuleObj* box = nullptr);
// A line on standard output that the tee gets too: what the start says.
void note(const std::string& line, const JModuleObj* box = nullptr);
void prompt();
void setInteractive(bool value);

using Tee = std::function<void(const JModuleObj* box, const std::string& line,
                               std::chrono::system_clock::time_point when)>;
// The lines told before a tee is set, the last few, are handed to it first;
// an empty tee ends the telling. Called on the thread that wrote the line,
// which holds the console's lock: brief, and never writing to the console.
void setTee(Tee tee);
}  // namespace console
