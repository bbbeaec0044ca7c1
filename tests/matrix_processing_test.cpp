// The row check, vector B and the sorting of the even rows, over an in-memory console.
#include "matrix_processing.h"

#include <iostream>

#include "expected.h"
#include "fake_console.h"
#include "gtest/gtest.h"
#include "matrix_state.h"
#include "test_files.h"

namespace {

using expected::recode;
using testing_support::MemoryConsole;
using testing_support::namedLocale;

struct RowCheckCase {
  Row row;
  std::int32_t marked;  // what B gets for the row
};

TEST(FillVectorB, MarksRowsThatIncreaseAndAreNotConstant) {
  const RowCheckCase cases[] = {
      {{1, 2, 3, 4, 5}, 1}, {{1, 1, 2, 3, 4}, 1},
      {{3, 3, 3, 3, 3}, 0}, {{1, 2, 3, 5, 4}, 0},
      {{5, 4, 3, 2, 1}, 0}, {{-5, -2, 0, 0, 7}, 1},
      {{2, 1, 3, 4, 5}, 0}, {{0, 0, 0, 0, 1}, 1},
      {{1, 0, 0, 0, 0}, 0}, {{-2147483647 - 1, 0, 0, 0, 2147483647}, 1},
      {{7, 7, 7, 7, 6}, 0},
  };
  for (const auto& c : cases) {
    MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
    A = {c.row, c.row, Row{}, c.row};
    B = {9, 9, 9, 9};
    fillVectorB();
    EXPECT_EQ(B, (std::array<std::int32_t, 4>{c.marked, c.marked, 0, c.marked}))
        << ::testing::PrintToString(c.row);
    EXPECT_EQ(term.output(), expected::checked) << ::testing::PrintToString(c.row);
    EXPECT_EQ(A[0], c.row) << "the check changed A";
  }
}

TEST(PrintVectorB, WritesOneLineInTheConsoleEncodingEndingInASpace) {
  SKIP_WITHOUT_GLIBC();
  for (const char* locale : {"ru_RU.UTF-8", "ru_RU.CP1251", "ru_RU.KOI8-R", "C"}) {
    MemoryConsole term("", namedLocale(locale));
    B = {1234, 0, 0, 1};  // written through cout, never grouped, whatever the locale
    std::wcout << L"до ";
    printVectorB();
    std::wcout << L"после";
    EXPECT_EQ(term.output(),
              recode("до " + expected::vectorB + "1234 0 0 1 \nпосле", expected::charsetOf(locale)))
        << locale;
  }
}

struct SortCase {
  const char* name;
  Matrix before;
  Matrix ascending;
  Matrix descending;
};

TEST(SortEvenRows, SortsRowsZeroAndTwoAndLeavesTheOthers) {
  SKIP_WITHOUT_GLIBC();
  const SortCase cases[] = {
      {"mixed", expected::sortBefore, expected::sortedUp, expected::sortedDown},
      {"repeats and extremes",
       {{{2, 1, 2, 1, 2},
         {3, 1, 2, 0, 0},
         {2147483647, -1, -2147483647 - 1, 0, 1},
         {5, 4, 3, 2, 1}}},
       {{{1, 1, 2, 2, 2},
         {3, 1, 2, 0, 0},
         {-2147483647 - 1, -1, 0, 1, 2147483647},
         {5, 4, 3, 2, 1}}},
       {{{2, 2, 2, 1, 1},
         {3, 1, 2, 0, 0},
         {2147483647, 1, 0, -1, -2147483647 - 1},
         {5, 4, 3, 2, 1}}}},
      {"already sorted",
       {{{1, 2, 3, 4, 5}, {}, {7, 7, 7, 7, 7}, {}}},
       {{{1, 2, 3, 4, 5}, {}, {7, 7, 7, 7, 7}, {}}},
       {{{5, 4, 3, 2, 1}, {}, {7, 7, 7, 7, 7}, {}}}},
  };
  for (const auto& c : cases) {
    {
      MemoryConsole term("", namedLocale("ru_RU.CP1251"));
      A = c.before;
      B = {1, 1, 0, 1};
      sortEvenRowsAscending();
      EXPECT_EQ(A, c.ascending) << c.name;
      EXPECT_EQ(B, (std::array<std::int32_t, 4>{1, 1, 0, 1})) << c.name;
      EXPECT_EQ(term.output(), recode(expected::sortedAscending, "CP1251")) << c.name;
    }
    MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
    A = c.before;
    sortEvenRowsDescending();
    EXPECT_EQ(A, c.descending) << c.name;
    EXPECT_EQ(term.output(), expected::sortedDescending) << c.name;
  }
}

}  // namespace
