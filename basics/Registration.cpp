// Loading the library registers the four classes; the host makes every box
// by cloning these temporaries and keeps no pointer to them.

#include "Arithmetic.h"
#include "Select.h"

namespace {

template <typename Box>
void registerBox() {
  Box prototype;
  prototype.Register();
}

struct Registration {
  Registration() {
    registerBox<Arithmetic>();
    registerBox<Compare>();
    registerBox<Select>();
    registerBox<Counter>();
  }
};

const Registration registration;

}  // namespace
