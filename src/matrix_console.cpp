#include "matrix_console.h"

#include <cstdint>
#include <iostream>
#include <limits>

#include "matrix_state.h"

namespace {

// Reads one cell, asking again until a valid integer comes. Returns false when the input
// has ended: then the prompt and one end of line are the last output.
bool readCell(std::size_t i, std::size_t j) {
  for (;;) {
    std::wcout << L"Введите элемент A[" << i << L"][" << j << L"]: ";
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

void printMatrix() {
  for (const Row& row : A) {
    for (const auto value : row) {
      std::wcout.width(5);
      std::wcout << value;
    }
    std::wcout << std::endl;
  }
}
