#include "matrix_processing.h"

#include <algorithm>
#include <functional>
#include <iostream>

#include "console.h"
#include "matrix_state.h"

namespace {

// Equal neighbours are allowed, but a constant row is no increasing sequence.
bool isIncreasing(const Row& row) {
  bool nonDecreasing = true;
  bool allEqual = true;
  for (std::size_t j = 1; j < COLS; ++j) {
    if (row[j] < row[j - 1]) {
      nonDecreasing = false;
    }
    if (row[j] != row[j - 1]) {
      allEqual = false;
    }
  }
  return nonDecreasing && !allEqual;
}

template <typename Order>
void sortEvenRows(Order order) {
  for (std::size_t i = 0; i < ROWS; i += 2) {
    std::sort(A[i].begin(), A[i].end(), order);
  }
}

}  // namespace

void fillVectorB() {
  for (std::size_t i = 0; i < ROWS; ++i) {
    B[i] = isIncreasing(A[i]) ? 1 : 0;
  }
  std::wcout << L"Вектор B обновлен.\n";
}

// This text and the sort confirmations go through the narrow cout, the rest through wcout:
// each stream has its fixed role in the program, and the two share one output buffer, so
// their order holds. Moving them to wcout would change no byte today and undo that design.
// cout carries bytes, so the text is encoded for the console first.
void printVectorB() {
  std::cout << console::narrowText(L"Результирующий вектор B: ");
  for (const auto value : B) {
    std::cout << value << " ";
  }
  std::cout << std::endl;
}

void sortEvenRowsAscending() {
  sortEvenRows(std::less<>());
  std::cout << console::narrowText(L"Четные строки матрицы отсортированы по возрастанию.\n");
}

void sortEvenRowsDescending() {
  sortEvenRows(std::greater<>());
  std::cout << console::narrowText(L"Четные строки матрицы отсортированы по убыванию.\n");
}
