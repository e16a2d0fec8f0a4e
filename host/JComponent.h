#pragma once

#include <functional>
#include <string>

#include "JString.h"

// The host's debug channel. Each debug() call becomes exactly one line: bytes
// outside printable ASCII (line breaks, escapes, controls) are written as
// \r, \n, \t, \\ or \xHH, so no text can forge a line or reach a terminal raw.
// Thread-safe.
class JComponent {
 public:
  static void debug(const JString& text);

  // Where lines go. Standard error is the default.
  static void debugToStderr();
  // Appends to the file; returns false (and keeps the old target) if it cannot
  // be opened, with the reason in error.
  static bool debugToFile(const std::string& path, std::string& error);
  static void debugSilence();
  // Hands each escaped line (without time stamp) to sink instead.
  static void debugCapture(std::function<void(const std::string& line)> sink);

  // The escaped form of text, as written.
  static std::string escape(const std::string& text);

  // Writes one line, "<where>: <what>", for the exception being handled (a
  // host JThrowable* is deleted). Only inside a catch block.
  static void debugCurrentException(const std::string& where);
};
