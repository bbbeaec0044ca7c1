// What the program is documented to write, typed once for every test: its texts, the
// counting matrix with the file a save makes of it, and the encoding its console writes
// under each test locale; with iconv as the oracle that recodes them, and the helpers that
// build a transcript. Nothing here comes from src/.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace expected {

inline std::string times(std::string_view text, std::size_t count) {
  std::string result;
  result.reserve(text.size() * count);
  for (std::size_t i = 0; i < count; ++i) {
    result += text;
  }
  return result;
}

// Each row, and a newline after it.
inline std::string table(const std::vector<std::string>& rows) {
  std::string result;
  for (const auto& row : rows) {
    result += row + "\n";
  }
  return result;
}

// Each newline as CR LF, as Windows' text mode writes it.
inline std::string crLf(std::string_view text) {
  std::string result;
  for (const char c : text) {
    if (c == '\n') {
      result += '\r';
    }
    result += c;
  }
  return result;
}

// The texts, in UTF-8. (Inline, so that they are made before any test's own constants.)
inline const std::string menu =
    "\n=== МЕНЮ ===\n"
    "1. Ввод элементов матрицы\n"
    "2. Вывод матрицы на экран\n"
    "3. Проверка строк на возрастающую последовательность и заполнение вектора B\n"
    "4. Сортировка строк с четными индексами по возрастанию\n"
    "5. Сортировка строк с четными индексами по убыванию\n"
    "6. Вывод результирующего вектора B\n"
    "7. Сохранить матрицу в файл\n"
    "8. Загрузить матрицу из файла\n"
    "9. Выход из программы\n\n"
    "Выберите пункт меню: ";
// The menu, then the end of line the program writes after a choice.
inline const std::string menuThenChoice = menu + "\n";
inline const std::string invalidChoice = "Неверный выбор! Попробуйте снова.\n";
inline const std::string invalidValue = "Неверный ввод. Пожалуйста, введите целое число.\n";
inline const std::string original = "Исходная матрица:\n";
inline const std::string sortedMatrix = "Результирующая матрица:\n";
inline const std::string checked = "Вектор B обновлен.\n";
inline const std::string vectorB = "Результирующий вектор B: ";
inline const std::string sortedAscending = "Четные строки матрицы отсортированы по возрастанию.\n";
inline const std::string sortedDescending = "Четные строки матрицы отсортированы по убыванию.\n";
inline const std::string saved = "Матрица успешно сохранена в файл.\n";
inline const std::string loaded = "Матрица успешно загружена из файла.\n";
inline const std::string openForWriting = "Ошибка при открытии файла для записи.\n";
inline const std::string openForReading = "Ошибка при открытии файла для чтения.\n";
inline const std::string writeError = "Ошибка при записи в файл.\n";
inline const std::string readFailed = "Ошибка при чтении файла: матрица не изменена.\n";
inline const std::string errorPrefix = "Ошибка при";  // how every error message begins
inline const std::string outOfMemory = "matrix-menu: недостаточно памяти\n";  // standard error
std::string prompt(int row, int column);
std::string allPrompts();  // the twenty, one after another

// Item 2 at start: the heading and four rows of zeros.
inline const std::string zeros = "    0    0    0    0    0\n";
inline const std::string zeroMatrix = std::string(original) + times(zeros, 4);

// The numbers 1 to 20 row by row: as typed, as held, as saved, and as item 2 shows them.
using Matrix = std::array<std::array<std::int32_t, 5>, 4>;
inline constexpr Matrix counting = {
    {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, {11, 12, 13, 14, 15}, {16, 17, 18, 19, 20}}};
inline const std::string countingInput = "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n";
inline const std::string countingFile =
    "1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 20 \n";
// A matrix as item 2 shows its rows, each value in five characters (none of four digits).
inline std::string shownRows(const Matrix& matrix) {
  std::string rows;
  for (const auto& row : matrix) {
    for (const auto value : row) {
      const std::string digits = std::to_string(value);
      rows += std::string(digits.size() < 5 ? 5 - digits.size() : 0, ' ') + digits;
    }
    rows += '\n';
  }
  return rows;
}
inline const std::string countingShown = original + shownRows(counting);
// A session that enters the counting matrix, saves it and quits; what it shows, given the
// save's message.
inline const std::string enterAndSave = "1 " + countingInput + "7\n9\n";
inline std::string afterSave(const std::string& message) {
  return menuThenChoice + allPrompts() + menuThenChoice + message + menuThenChoice;
}
// The counting input cut before its 20th value, for a file whose 20th does not read; the
// zero matrix as a save writes it.
inline const std::string countingBefore20th = countingInput.substr(0, countingInput.rfind(' ') + 1);
inline const std::string zeroFile = times("0 0 0 0 0 \n", 4);

// The sorting example: a matrix, and it with rows 0 and 2 sorted either way.
inline constexpr Matrix sortBefore = {
    {{5, 4, 3, 2, 1}, {9, 8, 7, 6, 5}, {3, 1, 2, 5, 4}, {0, 0, 0, 0, 1}}};
inline constexpr Matrix sortedUp = {
    {{1, 2, 3, 4, 5}, {9, 8, 7, 6, 5}, {1, 2, 3, 4, 5}, {0, 0, 0, 0, 1}}};
inline constexpr Matrix sortedDown = {
    {{5, 4, 3, 2, 1}, {9, 8, 7, 6, 5}, {5, 4, 3, 2, 1}, {0, 0, 0, 0, 1}}};

// The account that plays another user (its user and group number), and the one group it
// belongs to besides its own when the program runs as it ("users" on Debian).
inline constexpr unsigned nobody = 65534;
inline constexpr unsigned nobodysOtherGroup = 100;
inline const std::string otherAccount = std::to_string(nobody);  // as ACL entries name it

// The warning on standard error about a locale that cannot be loaded: a line for each such
// locale, named with the variable that chose it, then the last line.
inline std::string localeLine(const std::string& name, const std::string& variable) {
  return "matrix-menu: локаль «" + name + "» (" + variable + ") ";
}
inline const std::string cannotLoad = "установлена, но загрузить её не удалось\n";
inline const std::string unknownHere = "не установлена, и описания её в системе нет\n";
// Where the system has the locale's source: the command, on a line of its own, that installs
// it into the system, or with LOCPATH set into LOCPATH's directory.
inline const std::string installableWith =
    "не установлена в системе.\n  Установить её может root:\n  ";
inline const std::string installableInLocpath =
    "не установлена в каталогах LOCPATH.\n  Установить её туда может любой пользователь:\n  ";
// With LOCPATH set, a locale that root installed into the system's archive.
inline const std::string hiddenByLocpath =
    "не установлена в каталогах LOCPATH.\n"
    "  Она есть в системном архиве локалей, но при заданной LOCPATH его не читают:\n"
    "  запустите программу без LOCPATH или установите её туда:\n  ";
inline const std::string classicUsed =
    "matrix-menu: используются стандартные настройки и кодировка UTF-8\n";

// The encoding the console writes under a test locale: the locale's own where it has the
// Cyrillic letters of the texts, UTF-8 where it lacks them.
const char* charsetOf(std::string_view locale);

// `utf8` recoded into `charset` with iconv, an oracle independent of the program's codec.
std::string recode(std::string_view utf8, const char* charset);

}  // namespace expected
