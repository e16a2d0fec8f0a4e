#pragma once

#include <string>
#include <vector>

#include "JModuleObj.h"

// The host's property sheet for one module: it lists the module's entries
// and applies an edit the way a user's sheet does, checking the entry's kind
// and limits before the module sees the value. Host thread.
struct PropertyRow {
  std::string name;
  bool isInteger = false;
  std::string value;  // as shown
  int lower = 0;      // limits, for integer entries
  int upper = 0;
};

std::vector<PropertyRow> listProperties(JModuleObj& module);

// Applies text as the new value of the entry called name. Returns false with
// a one-line reason in error when there is no such entry, the text is not a
// whole number for an integer entry, or it lies outside the entry's limits,
// or the module did not take it (with the module's reason, when it told one
// through JPropertyRefusal).
bool editProperty(JModuleObj& module, const std::string& name, const std::string& text,
                  std::string& error);

// Reads text as a whole number the way the sheet does: decimal, an optional
// sign, nothing around it, within int. False when it is not one.
bool parseWholeNumber(const std::string& text, int& value);
// The current value of every output of a module, in order: integers and
// reals in decimal, texts with control bytes escaped. Safe while the module
// serves on another thread, as far as its getOutput is.
struct OutputRow {
  std::string name;
  std::string value;  // as shown
};

std::vector<OutputRow> listOutputs(JModuleObj& module);
// The current value of output n of a module, as listOutputs shows it.
std::string outputValue(JModuleObj& module, int n);
