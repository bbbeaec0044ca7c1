#include "transcripts.h"

#include <iostream>

#include "gtest/gtest.h"
#include "test_support.h"

namespace transcripts {

using testing_support::invalidChoice;
using testing_support::invalidValue;
using testing_support::prompt;

const std::string menu = testing_support::menuText();
const std::string chosen = menu + "\n";
const std::string zeros = "    0    0    0    0    0\n";
const std::string zeroMatrix = "Исходная матрица:\n" + zeros + zeros + zeros + zeros;

std::string allPrompts() {
  std::string result;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 5; ++j) {
      result += prompt(i, j);
    }
  }
  return result;
}

std::string times(const std::string& text, std::size_t count) {
  std::string result;
  for (std::size_t i = 0; i < count; ++i) {
    result += text;
  }
  return result;
}

std::string table(const std::vector<std::string>& rows) {
  std::string result;
  for (const auto& row : rows) {
    result += row + "\n";
  }
  return result;
}

namespace {

std::string withCarriageReturns(const std::string& text) {
  std::string result;
  for (const char c : text) {
    if (c == '\n') {
      result += '\r';
    }
    result += c;
  }
  return result;
}

// Under Wine, about one run in 2,000 ends with status 1 and no output at all, never twice in
// a row: such a run is tried once more, and the test says so.
testing_support::Outcome run(const Transcript& c, const Locale& locale) {
  if (locale.windowsProgram == nullptr) {
    return testing_support::runProgram(c.input,
                                       testing_support::environmentWith(locale.environment));
  }
  testing_support::Restrictions underWine;
  underWine.windowsProgram = locale.windowsProgram;
  const auto environment = testing_support::windowsEnvironmentWith(locale.environment);
  const std::string input = withCarriageReturns(c.input);
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
    for (const auto& c : cases) {
      const auto outcome = run(c, locale);
      const std::string expected = testing_support::recode(c.expected, locale.charset);
      EXPECT_EQ(outcome.out,
                locale.windowsProgram != nullptr ? withCarriageReturns(expected) : expected)
          << c.name << " under " << locale.name;
      EXPECT_EQ(outcome.status, 0) << c.name << " under " << locale.name;
      EXPECT_EQ(outcome.err, "") << c.name << " under " << locale.name;
    }
  }
}

std::vector<Transcript> choices() {
  const std::string invalid(invalidChoice);
  return {
      {"zeros at start, then 9", "2\n9\n", chosen + zeroMatrix + chosen},
      {"0, 10 and -1 are no items", "0\n10\n-1\n9\n", times(chosen + invalid, 3) + chosen},
      {"x is dropped with its line", "x 2 2\n9\n", chosen + invalid + chosen},
      {"tokens, not lines: 2 9", "2 9\n", chosen + zeroMatrix + chosen},
      {"numbers after 1 are elements", "1" + times(" 7", 20) + "\n9\n",
       chosen + allPrompts() + chosen},
      {"invalid bytes at the menu", "\xFF\xFE\n9\n", chosen + invalid + chosen},
      {"nul byte at the menu", std::string("\0\n9\n", 4), chosen + invalid + chosen},
      {"a number past 32 bits", "4294967298\n9\n", chosen + invalid + chosen},
  };
}

std::vector<Transcript> entryAndDisplay(const std::string& separator) {
  const std::string values = "1 2 3 4 5\n-7 1234 x\n8\n9 10 11 12 13 14 15 16 17 18 19 20\n";
  std::string prompts = allPrompts();
  prompts.insert(prompts.find(prompt(1, 2)) + prompt(1, 2).size(),
                 std::string(invalidValue) + prompt(1, 2));
  return {{"entry and display", "1\n" + values + "2\n9\n",
           chosen + prompts + chosen + "Исходная матрица:\n" + "    1    2    3    4    5\n" +
               "   -71" + separator + "234    8    9   10\n" + "   11   12   13   14   15\n" +
               "   16   17   18   19   20\n" + chosen}};
}

std::vector<Transcript> rowCheckAndSorting() {
  const std::string entered = "1 5 4 3 2 1  9 8 7 6 5  3 1 2 5 4  0 0 0 0 1\n";
  const std::string before = table({"    5    4    3    2    1", "    9    8    7    6    5",
                                    "    3    1    2    5    4", "    0    0    0    0    1"});
  const std::string ascending = table({"    1    2    3    4    5", "    9    8    7    6    5",
                                       "    1    2    3    4    5", "    0    0    0    0    1"});
  const std::string descending = table({"    5    4    3    2    1", "    9    8    7    6    5",
                                        "    5    4    3    2    1", "    0    0    0    0    1"});
  const std::string checked = "Вектор B обновлен.\n";
  return {
      {"B is zero at start", "6\n9\n", chosen + "Результирующий вектор B: 0 0 0 0 \n" + chosen},
      {"zero matrix checks to zeros", "3\n6\n9\n",
       chosen + checked + chosen + "Результирующий вектор B: 0 0 0 0 \n" + chosen},
      {"sorting shows before, confirmation, after; B waits for item 3",
       entered + "3\n4\n6\n5\n3 6\n9\n",
       chosen + allPrompts() + chosen + checked + chosen + "Исходная матрица:\n" + before +
           "Четные строки матрицы отсортированы по возрастанию.\n" + "Результирующая матрица:\n" +
           ascending + chosen + "Результирующий вектор B: 0 0 0 1 \n" + chosen +
           "Исходная матрица:\n" + ascending +
           "Четные строки матрицы отсортированы по убыванию.\n" + "Результирующая матрица:\n" +
           descending + chosen + checked + chosen + "Результирующий вектор B: 0 0 0 1 \n" + chosen},
      {"item 3 after an ascending sort", entered + "4\n3\n6\n9\n",
       chosen + allPrompts() + chosen + "Исходная матрица:\n" + before +
           "Четные строки матрицы отсортированы по возрастанию.\n" + "Результирующая матрица:\n" +
           ascending + chosen + checked + chosen + "Результирующий вектор B: 1 0 1 1 \n" + chosen},
  };
}

std::vector<Transcript> endOfInput() {
  const std::string invalid(invalidChoice);
  return {
      {"nothing at all", "", chosen},
      {"after an item", "2\n", chosen + zeroMatrix + chosen},
      {"last choice without newline", "2", chosen + zeroMatrix + chosen},
      {"sign alone at the end", "-", chosen},
      {"plus alone at the end", "+", chosen},
      {"too large at the end", "2147483648", chosen},
      {"letters, then the end", "abc", chosen + invalid + chosen},
      {"at the first element", "1\n", chosen + prompt(0, 0) + "\n"},
      {"at a later element", "1\n5 6\n",
       chosen + prompt(0, 0) + prompt(0, 1) + prompt(0, 2) + "\n"},
      {"sign alone at an element", "1\n-", chosen + prompt(0, 0) + "\n"},
      {"letters at an element, then the end", "1\nabc\n",
       chosen + prompt(0, 0) + std::string(invalidValue) + prompt(0, 0) + "\n"},
      {"after the last element", "1" + times(" 3", 20), chosen + allPrompts() + chosen},
  };
}

std::vector<Transcript> saveAndLoad() {
  const std::string counting = "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n";
  const std::string countingTable =
      "Исходная матрица:\n" + table({"    1    2    3    4    5", "    6    7    8    9   10",
                                     "   11   12   13   14   15", "   16   17   18   19   20"});
  return {
      {"save, overwrite the matrix, load",
       "1 " + counting + "7\n1" + times(" 0", 20) + "\n8\n2\n6\n9\n",
       chosen + allPrompts() + chosen + "Матрица успешно сохранена в файл.\n" + chosen +
           allPrompts() + chosen + "Матрица успешно загружена из файла.\n" + chosen +
           countingTable + chosen + "Результирующий вектор B: 0 0 0 0 \n" + chosen},
      {"load with no file", "8\n2\n9\n",
       chosen + "Ошибка при открытии файла для чтения.\n" + chosen + zeroMatrix + chosen},
  };
}

}  // namespace transcripts
