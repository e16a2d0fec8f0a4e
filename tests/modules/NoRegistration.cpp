// A library built with the host's headers that registers nothing.

#include "JObject.h"

extern "C" [[gnu::visibility("default")]] int qenoTestAnswer() {
  return 42;
}
