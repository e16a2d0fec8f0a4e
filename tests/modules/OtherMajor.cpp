// A library that says it was built for another major version of the host,
// or, without QENO_TEST_MARKER, says nothing at all. Either way the host must
// refuse it without running it: its static initialisation aborts.

#include <cstdlib>

#ifdef QENO_TEST_MARKER
[[gnu::used, gnu::section(".qeno_host_version")]] const char kMarker[] = QENO_TEST_MARKER;
#endif

namespace {

struct Crash {
  Crash() { std::abort(); }
};

const Crash crash;

}  // namespace
