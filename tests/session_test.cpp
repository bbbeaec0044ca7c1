// Replays the fuzzers' corpora: the inputs that matter most, in every build.
#include <filesystem>

#include "gtest/gtest.h"
#include "session_check.h"
#include "test_files.h"

namespace {

using testing_support::fuzzLocales;

int replay(const char* corpus, std::string (*check)(std::string_view, const char*)) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    const std::string input = testing_support::readFile(entry.path());
    for (const char* locale : fuzzLocales) {
      const testing_support::InTempDirectory dir;
      EXPECT_EQ(check(input, locale), "") << entry.path().filename() << " under " << locale;
    }
    ++replayed;
  }
  return replayed;
}

TEST(Sessions, EveryCorpusSessionKeepsToTheModel) {
  SKIP_WITHOUT_GLIBC();
  EXPECT_GE(replay(FUZZ_CORPUS "/session", testing_support::checkSession), 8);
}

TEST(Sessions, EveryCorpusFileLoadsAllOrNothing) {
  SKIP_WITHOUT_GLIBC();
  EXPECT_GE(replay(FUZZ_CORPUS "/file", testing_support::checkFileLoad), 5);
}

}  // namespace
