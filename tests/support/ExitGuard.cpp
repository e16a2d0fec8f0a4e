// Linked into every test program: a process that exits with status 0 in the
// middle of a test would pass for a successful run, so an exit while a test
// runs is a failure.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

class ExitDuringTestGuard : public ::testing::Environment {
 public:
  void SetUp() override {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(check); });
  }

 private:
  static void check() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) return;
    std::fprintf(stderr, "process ended during %s.%s\n", test->test_suite_name(), test->name());
    std::_Exit(1);
  }
};

[[maybe_unused]] ::testing::Environment* const exitGuard =
    ::testing::AddGlobalTestEnvironment(new ExitDuringTestGuard);

}  // namespace
