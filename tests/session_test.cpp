// Replays the fuzzer's corpus: the inputs that matter most, in every build.
#include <filesystem>

#include "gtest/gtest.h"
#include "session_check.h"
#include "test_support.h"

namespace {

TEST(Sessions, EveryCorpusInputRunsToTheEndWithCleanOutput) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(FUZZ_CORPUS)) {
    const std::string input = testing_support::readFile(entry.path());
    const testing_support::InTempDirectory dir;
    for (const auto& [locale, charset] :
         {std::pair{"ru_RU.UTF-8", "UTF-8"}, std::pair{"ru_RU.CP1251", "CP1251"}}) {
      EXPECT_EQ(testing_support::checkOutput(testing_support::runSession(input, locale), charset),
                "")
          << entry.path().filename() << " under " << locale;
    }
    ++replayed;
  }
  EXPECT_GE(replayed, 8);
}

}  // namespace
