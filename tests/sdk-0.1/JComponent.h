#pragma once

#include <functional>
#include <string>

#include "JString.h"

// The host's debug channel. Each debug() call becomes exactly one line: bytes
// outside printable ASCII (line breaks, escapes, controls, and UTF-8 too, so
// that a line reads the same in any locale and every byte shows) are written
// as \r, \n, \t, \\ or \xHH, so no text can forge a line or reach a
// terminal raw. Thread-safe.
class JComponent {
 public:
  // How escape() shows a text. Both escape line breaks, controls and the
  // backslash. kAscii escapes every other byte above 0x7e as well; kUtf8
  // shows valid UTF-8 as itself and escapes only the bytes of invalid
  // sequences and the C1 controls (U+0080 to U+009F).
  enum class EscapeStyle { kAscii, kUtf8 };

  static void debug(const JString& text);
  // Whether debug lines go anywhere: a caller may skip building a costly
  // line when they do not.
  static bool debugging();

  // Where lines go. Standard error is the default.
  static void debugToStderr();
  // Appends to the file; returns false (and keeps the old target) if it cannot
  // be opened, with the reason in error.
  static bool debugToFile(const std::string& path, std::string& error);
  static void debugSilence();
  // Hands each escaped line (without time stamp) to sink instead.
  static void debugCapture(std::function<void(const std::string& line)> sink);

  // The escaped form of text; kAscii is what the debug channel writes.
  static std::string escape(const std::string& text, EscapeStyle style = EscapeStyle::kAscii);
  // RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF.
  static bool isValidUtf8(const std::string& text);

  // Writes one line, "<where>: <what>", for the exception being handled (a
  // host JThrowable* is deleted). Only inside a catch block.
  static void debugCurrentException(const std::string& where);
  // The message of the exception being handled: what() of a std::exception,
  // getMessage() of a host JThrowable* (which is deleted), or its kind.
  // Only inside a catch block.
  static std::string describeCurrentException();
};
