// The exchange's work on one receive, without sockets: every input of the
// fuzzing corpus replayed through the checks the fuzzer makes (see
// fuzz/ExchangeDriver.h). An input that once broke the exchange is kept in
// the corpus, so every run of the suite, in every build, repeats it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ExchangeDriver.h"

TEST(ExchangeReplayTest, EveryCorpusInputKeepsTheExchangeInvariants) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QENO_FUZZ_CORPUS)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    EXPECT_EQ(
        qeno::test::driveExchange(reinterpret_cast<const uint8_t*>(input.data()), input.size()), "")
        << entry.path().filename();
    ++replayed;
  }
  EXPECT_GE(replayed, 5);
}
