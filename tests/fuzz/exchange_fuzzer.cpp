// libFuzzer entry: arbitrary chunk sequences through the request exchange
// (see ExchangeDriver.h for the input's layout and what is checked).

#include <cstdio>
#include <cstdlib>

#include "ExchangeDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string broken = qeno::test::driveExchange(data, size);
  if (!broken.empty()) {
    std::fprintf(stderr, "exchange invariant broken: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
