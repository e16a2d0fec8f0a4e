// Loading the library registers the class: the host keeps a clone of this
// temporary as the prototype of every MyBox and no pointer to it.

#include "MyBox.h"

namespace {

struct Registration {
  Registration() {
    MyBox prototype;
    prototype.Register();
  }
};

const Registration registration;

}  // namespace
