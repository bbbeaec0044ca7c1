// The transcript tables the end-to-end tests share, and the runner that checks them.
#include "transcripts.h"

#include <iostream>
#include <string_view>

#include "expected.h"
#include "gtest/gtest.h"
#include "program_runner.h"
#include "test_files.h"

namespace transcripts {

// The documented texts and values, typed once in expected.h.
using namespace expected;  // NOLINT(google-build-using-namespace)

Locale linuxLocale(const char* name, const char* variable) {
  return {name, {std::string(variable) + "=" + name}, expected::charsetOf(name)};
}

namespace {

// Under Wine, about one run in 2,000 ends with status 1 and no output at all, never twice in
// a row: such a run is tried once more, and the test says so.
testing_support::Outcome run(const Transcript& c, const Locale& locale) {
  if (locale.windowsProgram == nullptr) {
    return testing_support::runProgram(c.input,
                                       testing_support::environmentWith(locale.environment));
  }
  const testing_support::Restrictions underWine{.windowsProgram = locale.windowsProgram};
  const auto environment = testing_support::windowsEnvironmentWith(locale.environment);
  const std::string input = expected::crLf(c.input);
  const testing_support::TempDir dir;
  auto outcome = testing_support::runProgram(input, environment, dir.path(), underWine);
  if (outcome.status == 1 && outcome.out.empty() && outcome.err.empty()) {
    std::cout << "Wine ended \"" << c.name << "\" with nothing; run once more\n";
    const testing_support::TempDir again;
    outcome = testing_support::runProgram(input, environment, again.path(), underWine);
  }
  return outcome;
}

}  // namespace

void expectTranscripts(const std::vector<Transcript>& cases, const std::vector<Locale>& locales) {
  for (const auto& locale : locales) {
    const bool needsGlibc =
        locale.windowsProgram == nullptr && std::string_view(locale.charset) != "UTF-8";
    if (needsGlibc && testing_support::skips(locale.name, testing_support::withoutGlibc())) {
      continue;
    }
    for (const auto& c : cases) {
      const auto outcome = run(c, locale);
      const std::string wanted = expected::recode(c.output, locale.charset);
      EXPECT_EQ(outcome.out, locale.windowsProgram != nullptr ? expected::crLf(wanted) : wanted)
          << c.name << " under " << locale.name;
      EXPECT_EQ(outcome.status, 0) << c.name << " under " << locale.name;
      EXPECT_EQ(outcome.err, "") << c.name << " under " << locale.name;
    }
  }
}

std::vector<Transcript> choices() {
  const std::string invalid(invalidChoice);
  return {
      {"zeros at start, then 9", "2\n9\n", menuThenChoice + zeroMatrix + menuThenChoice},
      {"0, 10 and -1 are no items", "0\n10\n-1\n9\n",
       times(menuThenChoice + invalid, 3) + menuThenChoice},
      {"x is dropped with its line", "x 2 2\n9\n", menuThenChoice + invalid + menuThenChoice},
      {"tokens, not lines: 2 9", "2 9\n", menuThenChoice + zeroMatrix + menuThenChoice},
      {"numbers after 1 are elements", "1" + times(" 7", 20) + "\n9\n",
       menuThenChoice + allPrompts() + menuThenChoice},
      {"invalid bytes at the menu", "\xFF\xFE\n9\n", menuThenChoice + invalid + menuThenChoice},
      {"nul byte at the menu", std::string("\0\n9\n", 4),
       menuThenChoice + invalid + menuThenChoice},
      {"a number past 32 bits", "4294967298\n9\n", menuThenChoice + invalid + menuThenChoice},
  };
}

std::vector<Transcript> entryAndDisplay(const std::string& separator) {
  const std::string values = "1 2 3 4 5\n-7 1234 x\n8\n9 10 11 12 13 14 15 16 17 18 19 20\n";
  std::string prompts = allPrompts();
  prompts.insert(prompts.find(prompt(1, 2)) + prompt(1, 2).size(),
                 std::string(invalidValue) + prompt(1, 2));
  return {{"entry and display", "1\n" + values + "2\n9\n",
           menuThenChoice + prompts + menuThenChoice + original + "    1    2    3    4    5\n" +
               "   -7" + (separator.empty() ? " 1234" : "1" + separator + "234") +
               "    8    9   10\n" + "   11   12   13   14   15\n" + "   16   17   18   19   20\n" +
               menuThenChoice}};
}

std::vector<Transcript> rowCheckAndSorting() {
  const std::string entered = "1 5 4 3 2 1  9 8 7 6 5  3 1 2 5 4  0 0 0 0 1\n";
  const std::string before = shownRows(sortBefore);
  const std::string ascending = shownRows(sortedUp);
  const std::string descending = shownRows(sortedDown);
  return {
      {"B is zero at start", "6\n9\n", menuThenChoice + vectorB + "0 0 0 0 \n" + menuThenChoice},
      {"zero matrix checks to zeros", "3\n6\n9\n",
       menuThenChoice + checked + menuThenChoice + vectorB + "0 0 0 0 \n" + menuThenChoice},
      {"sorting shows before, confirmation, after; B waits for item 3",
       entered + "3\n4\n6\n5\n3 6\n9\n",
       menuThenChoice + allPrompts() + menuThenChoice + checked + menuThenChoice + original +
           before + sortedAscending + sortedMatrix + ascending + menuThenChoice + vectorB +
           "0 0 0 1 \n" + menuThenChoice + original + ascending + sortedDescending + sortedMatrix +
           descending + menuThenChoice + checked + menuThenChoice + vectorB + "0 0 0 1 \n" +
           menuThenChoice},
      {"item 3 after an ascending sort", entered + "4\n3\n6\n9\n",
       menuThenChoice + allPrompts() + menuThenChoice + original + before + sortedAscending +
           sortedMatrix + ascending + menuThenChoice + checked + menuThenChoice + vectorB +
           "1 0 1 1 \n" + menuThenChoice},
  };
}

std::vector<Transcript> endOfInput() {
  const std::string invalid(invalidChoice);
  return {
      {"nothing at all", "", menuThenChoice},
      {"after an item", "2\n", menuThenChoice + zeroMatrix + menuThenChoice},
      {"last choice without newline", "2", menuThenChoice + zeroMatrix + menuThenChoice},
      {"sign alone at the end", "-", menuThenChoice},
      {"plus alone at the end", "+", menuThenChoice},
      {"too large at the end", "2147483648", menuThenChoice},
      {"letters, then the end", "abc", menuThenChoice + invalid + menuThenChoice},
      {"at the first element", "1\n", menuThenChoice + prompt(0, 0) + "\n"},
      {"at a later element", "1\n5 6\n",
       menuThenChoice + prompt(0, 0) + prompt(0, 1) + prompt(0, 2) + "\n"},
      {"sign alone at an element", "1\n-", menuThenChoice + prompt(0, 0) + "\n"},
      {"letters at an element, then the end", "1\nabc\n",
       menuThenChoice + prompt(0, 0) + std::string(invalidValue) + prompt(0, 0) + "\n"},
      {"after the last element", "1" + times(" 3", 20),
       menuThenChoice + allPrompts() + menuThenChoice},
  };
}

std::vector<Transcript> saveAndLoad() {
  return {
      {"save, overwrite the matrix, load",
       "1 " + expected::countingInput + "7\n1" + times(" 0", 20) + "\n8\n2\n6\n9\n",
       menuThenChoice + allPrompts() + menuThenChoice + expected::saved + menuThenChoice +
           allPrompts() + menuThenChoice + expected::loaded + menuThenChoice +
           expected::countingShown + menuThenChoice + vectorB + "0 0 0 0 \n" + menuThenChoice},
      {"load with no file", "8\n2\n9\n",
       menuThenChoice + expected::openForReading + menuThenChoice + zeroMatrix + menuThenChoice},
  };
}

}  // namespace transcripts
