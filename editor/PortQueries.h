#pragma once

#include <optional>
#include <string>
#include <vector>

#include "JModuleObj.h"

// What the editor, its page and qeno-host ask a box about its ports, each
// question inside ModuleGuard. A box whose code throws is told and marked
// faulted, and the answer is the one a plain box gives (JModuleObj's own);
// a box that failed in a question is not asked it again, so that a page
// that looks twice a second does not tell one fault twice a second. Host
// thread, but for readOutput: any.
class PortQueries {
 public:
  static std::string inputName(JModuleObj& box, int n);
  static std::string outputName(JModuleObj& box, int n);
  static int inputType(JModuleObj& box, int n);
  // The types of all the box's outputs, in one question.
  static std::vector<int> outputTypes(JModuleObj& box);
  static JFRect inputArea(JModuleObj& box, int n);
  static JFRect outputArea(JModuleObj& box, int n);
  // Where link meets the box it joins.
  static JFPoint inputPoint(JModuleObj& box, JLinkObj& link);
  static JFPoint outputPoint(JModuleObj& box, JLinkObj& link);

  // Output n's value into the variable holder stands for, as a link reads
  // it; false when the output has another type or the box failed.
  static bool readOutput(JModuleObj& box, int n, const JDataType& holder);
  // The values of the integer outputs, nothing for the others, in one
  // question; all nothing when the box failed.
  static std::vector<std::optional<int>> integerValues(JModuleObj& box);
};
