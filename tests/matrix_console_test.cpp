// Entry and display of the matrix, over an in-memory console.
#include "matrix_console.h"

#include <iostream>

#include "expected.h"
#include "fake_console.h"
#include "gtest/gtest.h"
#include "matrix_state.h"
#include "test_files.h"

namespace {

using expected::invalidValue;
using expected::prompt;
using expected::times;
using testing_support::MemoryConsole;
using testing_support::namedLocale;

int countOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

struct EntryCase {
  const char* name;
  const char* locale;
  std::string input;    // for the first cell; 19 more lines of "0" follow
  std::int32_t first;   // what A[0][0] holds afterwards
  std::int32_t second;  // and A[0][1]
  int rejections;       // how many times the message was shown
};

TEST(InputMatrix, AcceptsIntegersAndAsksAgainForAnythingElse) {
  SKIP_WITHOUT_GLIBC();
  const EntryCase cases[] = {
      {"plain", "ru_RU.UTF-8", "7\n", 7, 0, 0},
      {"minus", "ru_RU.UTF-8", "-3\n", -3, 0, 0},
      {"plus", "ru_RU.UTF-8", "+4\n", 4, 0, 0},
      {"largest", "ru_RU.UTF-8", "2147483647\n", 2147483647, 0, 0},
      {"smallest", "ru_RU.UTF-8", "-2147483648\n", -2147483647 - 1, 0, 0},
      {"one past largest", "ru_RU.UTF-8", "2147483648\n5\n", 5, 0, 1},
      {"one past smallest", "ru_RU.UTF-8", "-2147483649\n5\n", 5, 0, 1},
      {"forty digits", "ru_RU.UTF-8", std::string(40, '9') + "\n5\n", 5, 0, 1},
      {"letter", "ru_RU.UTF-8", "x\n5\n", 5, 0, 1},
      {"sign alone", "ru_RU.UTF-8", "-\n5\n", 5, 0, 1},
      {"digits then letters", "ru_RU.UTF-8", "12abc\n5\n", 12, 5, 1},
      {"rest of a bad line is dropped", "ru_RU.UTF-8", "x 8 9\n5\n", 5, 0, 1},
      {"blank lines skipped", "ru_RU.UTF-8", "\n\n  6\n", 6, 0, 0},
      {"two on a line", "ru_RU.UTF-8", "1 2\n", 1, 2, 0},
      {"grouped, UTF-8", "ru_RU.UTF-8", "1\u202F234\n", 1234, 0, 0},
      {"grouped, CP1251", "ru_RU.CP1251", "1\240234\n", 1234, 0, 0},
      {"grouped, KOI8-R", "ru_RU.KOI8-R", "-12\232345\n", -12345, 0, 0},
      {"plain space splits", "ru_RU.UTF-8", "1 234\n", 1, 234, 0},
      {"comma is no separator in ru_RU", "ru_RU.UTF-8", "1,234\n5\n", 1, 5, 1},
      {"invalid UTF-8", "ru_RU.UTF-8", "\xFF\xFE\n5\n", 5, 0, 1},
      {"nul byte", "ru_RU.UTF-8", std::string("\0\n5\n", 4), 5, 0, 1},
      {"Cyrillic letter", "ru_RU.CP1251", "\xE4\n5\n", 5, 0, 1},
  };
  for (const auto& c : cases) {
    MemoryConsole term(c.input + times("0\n", 19), namedLocale(c.locale));
    inputMatrix();
    EXPECT_FALSE(std::wcin.fail()) << c.name;
    EXPECT_EQ(A[0][0], c.first) << c.name;
    EXPECT_EQ(A[0][1], c.second) << c.name;
    EXPECT_EQ(countOf(term.output(), expected::recode(invalidValue, expected::charsetOf(c.locale))),
              c.rejections)
        << c.name;
  }
}

TEST(InputMatrix, PromptsForEveryCellInRowMajorOrder) {
  MemoryConsole term("x\n" + times("7\n", 20), namedLocale("ru_RU.UTF-8"));
  B = {1, 0, 1, 0};
  inputMatrix();
  EXPECT_EQ(term.output(), prompt(0, 0) + invalidValue + expected::allPrompts());
  const Row sevens = {7, 7, 7, 7, 7};
  EXPECT_EQ(A, (Matrix{sevens, sevens, sevens, sevens}));
  EXPECT_EQ(B, (std::array<std::int32_t, 4>{1, 0, 1, 0}));  // entry leaves B alone
}

TEST(InputMatrix, ALineOfFiveFillsARowWithoutWaiting) {
  MemoryConsole term("1 2 3 4 5\n\x01" + times("6\n\x01", 15), namedLocale("ru_RU.UTF-8"));
  inputMatrix();
  ASSERT_GE(term.source.shownAtWaits.size(), 1u);
  EXPECT_EQ(term.source.shownAtWaits[0], prompt(0, 0) + prompt(0, 1) + prompt(0, 2) + prompt(0, 3) +
                                             prompt(0, 4) + prompt(1, 0));
  EXPECT_EQ(A[0], (Row{1, 2, 3, 4, 5}));
  EXPECT_EQ(A[3][4], 6);
}

TEST(InputMatrix, EndOfInputStopsAfterThePromptAndOneNewline) {
  const std::string cases[] = {"", "5\n", "5\n-", "5\n2147483648", "5\nabc\n"};
  for (const auto& input : cases) {
    MemoryConsole term(input, namedLocale("ru_RU.UTF-8"));
    A[0][1] = 99;
    inputMatrix();
    EXPECT_TRUE(std::wcin.fail()) << input;
    const std::string out = term.output();
    const std::string ending = prompt(0, input.empty() ? 0 : 1) + "\n";
    EXPECT_TRUE(out.ends_with(ending)) << input << " gave " << out;
    EXPECT_EQ(A[0][1], 99) << input;  // the cell asked for keeps its value
  }
}

struct DisplayCase {
  const char* name;
  const char* locale;
  Row row;
  std::string line;  // as UTF-8, before recoding
};

TEST(PrintMatrix, RightAlignsEachValueInFiveCharacters) {
  SKIP_WITHOUT_GLIBC();
  const DisplayCase cases[] = {
      {"zeros", "ru_RU.UTF-8", {0, 0, 0, 0, 0}, expected::zeros},
      {"small", "ru_RU.UTF-8", {1, 2, 3, 4, -7}, "    1    2    3    4   -7\n"},
      {"wide values push the line",
       "C",
       {-123456, 12345, 0, 2147483647, 1},
       "-12345612345    02147483647    1\n"},
      {"grouped in UTF-8",
       "ru_RU.UTF-8",
       {1234, -1234, 999, 1000000, 5},
       "1\u202F234-1\u202F234  9991\u202F000\u202F000    5\n"},
      {"grouped in CP1251", "ru_RU.CP1251", {1234, 0, 0, 0, 0}, "1\u00A0234    0    0    0    0\n"},
  };
  for (const auto& c : cases) {
    MemoryConsole term("", namedLocale(c.locale));
    A[1] = c.row;
    printMatrix();
    const std::string& zeros = expected::zeros;
    EXPECT_EQ(term.output(),
              zeros + expected::recode(c.line, expected::charsetOf(c.locale)) + zeros + zeros)
        << c.name;
  }
}

}  // namespace
