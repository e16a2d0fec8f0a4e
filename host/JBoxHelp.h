#pragma once

#include "JString.h"

// What a box says of itself in words: what its class does, what each port
// carries and what each property sets, a sentence each. The editor page
// shows them beside the box, its ports and its property sheet. A module's
// class may also derive from JBoxHelp and override what it has words for;
// the host finds it with dynamic_cast, and a box that does not derive from
// it, or leaves a text empty, simply says nothing there. Added in 0.2: a
// module built against 0.1 loads as before.
//
// The host asks on its host thread, of any box of the class (the texts are
// the class's, not one box's), and guards each call as it guards every call
// into module code.
class JBoxHelp {
 public:
  JBoxHelp() = default;
  JBoxHelp(const JBoxHelp&) = default;
  JBoxHelp& operator=(const JBoxHelp&) = default;
  virtual ~JBoxHelp();

  // What a box of the class does.
  [[nodiscard]] virtual JString description() const;
  // What input n takes, and what output n gives (n from 0).
  [[nodiscard]] virtual JString inputDescription(int n) const;
  [[nodiscard]] virtual JString outputDescription(int n) const;
  // What the property sheet's entry called name sets, for the entries the
  // box adds to the base's (the base's own, the box's place and size, the
  // host describes itself).
  [[nodiscard]] virtual JString propertyDescription(const JString& name) const;
};
