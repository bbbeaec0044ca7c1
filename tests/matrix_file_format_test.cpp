// The matrix file's format and parsing over wide string streams, on every platform.
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "matrix_file.h"

namespace {

const Matrix counting = {
    {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, {11, 12, 13, 14, 15}, {16, 17, 18, 19, -20}}};

TEST(MatrixFileFormat, WritesFourLinesOfSpaceTerminatedValues) {
  std::wostringstream out;
  writeMatrix(out, counting);
  EXPECT_EQ(out.str(), L"1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 -20 \n");
}

TEST(MatrixFileFormat, ReadsAnyWhiteSpaceLayoutAndStopsAfterTheTwentieth) {
  const struct {
    const wchar_t* name;
    const wchar_t* text;
    bool complete;
  } cases[] = {
      {L"as written", L"1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 -20 \n", true},
      {L"CR LF lines", L"1 2 3 4 5\r\n6 7 8 9 10\r\n11 12 13 14 15\r\n16 17 18 19 -20\r\n", true},
      {L"one line, then more", L"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 -20 x", true},
      {L"nineteen", L"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19", false},
      {L"a word", L"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 x -20", false},
  };
  for (const auto& c : cases) {
    std::wistringstream in(c.text);
    Matrix read{};
    EXPECT_EQ(readMatrix(in, read), c.complete) << c.name;
    if (c.complete) {
      EXPECT_EQ(read, counting) << c.name;
    }
  }
}

}  // namespace
