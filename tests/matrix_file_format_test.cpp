// The matrix file's format, written to and read from memory, on every platform: the layout a
// save writes, and every layout of bytes a load takes or refuses, read errors included.
#include <locale>
#include <string>

#include "expected.h"
#include "gtest/gtest.h"
#include "matrix_file.h"
#include "script_source.h"

namespace {

using expected::counting;
using testing_support::ScriptSource;

// The conventions of no console, as on every platform: UTF-8 and the classic locale.
const console::Conventions noConsole{console::Codec::utf8(), std::locale::classic()};

TEST(MatrixFileFormat, WritesFourLinesOfSpaceTerminatedValues) {
  Matrix negative = counting;
  negative[3][4] = -20;
  std::string file = expected::countingFile;
  file.insert(file.rfind("20"), "-");
  EXPECT_EQ(formatMatrix(negative, noConsole), file);
}

struct LayoutCase {
  const char* name;
  std::string bytes;
  bool loads;                // else the load fails, whatever it read
  bool errorAtEnd = false;   // a read error where the bytes end, instead of the file's end
  std::size_t piece = 4096;  // the most bytes one read gives
};

// Any white space between 20 integers, and nothing read after the 20th; anything else, a
// read error included, fails.
TEST(MatrixFileFormat, ReadsAnyWhiteSpaceLayoutOf20IntegersAndNothingElse) {
  const std::string& input = expected::countingInput;
  const std::string twenty = input.substr(0, input.size() - 1);  // without the newline
  const std::string nineteen = input.substr(0, input.rfind(' '));
  const LayoutCase cases[] = {
      {"as written", expected::countingFile, true},
      {"CR LF lines", "1 2 3 4 5\r\n6 7 8 9 10\r\n11 12 13 14 15\r\n16 17 18 19 20\r\n", true},
      {"tabs and CR LF", "\t1 2 3 4 5\r\n6 7 8 9 10\r\n11 12 13 14 15\r\n16 17 18 19 20\r\n", true},
      {"one line", twenty, true},
      {"one per line", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n16\n17\n18\n19\n20\n",
       true},
      {"text after the 20th", twenty + " 21 abc\n", true},
      {"invalid byte right after the 20th", twenty + "\xFF", true},
      {"leading zeros and plus", "+1 02 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 0020", true},
      {"a byte at a time", twenty + "\n", true, false, 1},
      {"empty file", "", false},
      {"nineteen values", nineteen + "\n", false},
      {"a word instead of the 20th", nineteen + " twenty\n", false},
      {"a word in the middle", "1 2 x 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n", false},
      {"past 32 bits", nineteen + " 2147483648\n", false},
      {"below 32 bits", "-2147483649 " + nineteen + "\n", false},
      {"invalid byte in the middle", "1 2 \xFF 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n",
       false},
      {"invalid byte where the 20th should be", nineteen + " \xFF", false},
      {"byte-order mark", "\xEF\xBB\xBF" + twenty + "\n", false},
      {"nul byte", std::string("1 2 3\0 4", 8), false},
      {"sign alone at the end", nineteen + " -", false},
      {"a read error right after the last digit", twenty, false, true},
      {"a read error after the 20th is whole", twenty + " ", true, true},
  };
  for (const auto& c : cases) {
    ScriptSource file(c.bytes, {.pauses = false, .piece = c.piece, .errorAtEnd = c.errorAtEnd});
    Matrix matrix{};
    EXPECT_EQ(loadMatrix(file, noConsole, matrix), c.loads) << c.name;
    if (c.loads) {
      EXPECT_EQ(matrix, counting) << c.name;
    }
  }
}

}  // namespace
