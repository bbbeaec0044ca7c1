#include "matrix_console.h"

#include <cstdint>
#include <iostream>
#include <iterator>
#include <limits>
#include <string_view>

#include "integer_io.h"
#include "matrix_state.h"

namespace {

// Reads one cell, asking again until a valid integer comes. Returns false when the input
// has ended: then the prompt and one end of line are the last output.
bool readCell(std::size_t i, std::size_t j) {
  // The prompt in one piece: "Введите элемент A[", i, "][", j, "]: ".
  static_assert(ROWS <= 10 && COLS <= 10, "one digit for each index");
  constexpr std::size_t rowAt = std::wstring_view(L"Введите элемент A[").size();
  wchar_t prompt[] = L"Введите элемент A[i][j]: ";
  prompt[rowAt] = static_cast<wchar_t>(L'0' + i);
  prompt[rowAt + 3] = static_cast<wchar_t>(L'0' + j);
  for (;;) {
    std::wcout.write(prompt, std::size(prompt) - 1);
    std::int32_t value = 0;
    if (std::wcin >> value) {
      A[i][j] = value;
      return true;
    }
    if (std::wcin.eof()) {
      std::wcout << std::endl;
      return false;
    }
    std::wcout << L"Неверный ввод. Пожалуйста, введите целое число." << std::endl;
    std::wcin.clear();
    std::wcin.ignore(std::numeric_limits<std::streamsize>::max(), L'\n');
  }
}

}  // namespace

void inputMatrix() {
  for (std::size_t i = 0; i < ROWS; ++i) {
    for (std::size_t j = 0; j < COLS; ++j) {
      if (!readCell(i, j)) {
        return;
      }
    }
  }
}

// The table formatted in one pass, as a field of width 5 for each value would write it, and
// written at once: a row's end of line flushes nothing the next wait for input would not.
void printMatrix() {
  constexpr std::size_t width = 5;
  constexpr std::size_t rowLength = COLS * console::IntegerFormat::longest(width) + 1;
  const console::IntegerFormat& format = console::IntegerFormat::of(std::wcout);
  wchar_t table[ROWS * rowLength];
  wchar_t* end = table;
  for (const Row& row : A) {
    for (const auto value : row) {
      end = format.write(end, value, width);
    }
    *end++ = L'\n';
  }
  std::wcout.write(table, end - table).flush();
}
