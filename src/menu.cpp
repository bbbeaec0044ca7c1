#include "menu.h"

#include <iostream>
#include <limits>
#include <string_view>

#include "matrix_console.h"
#include "matrix_file.h"
#include "matrix_processing.h"

namespace {

// One literal, so the menu is converted in one run; a view, so its length is known.
void showMenu() {
  static constexpr std::wstring_view menu =
      L"\n=== МЕНЮ ===\n"
      L"1. Ввод элементов матрицы\n"
      L"2. Вывод матрицы на экран\n"
      L"3. Проверка строк на возрастающую последовательность и заполнение вектора B\n"
      L"4. Сортировка строк с четными индексами по возрастанию\n"
      L"5. Сортировка строк с четными индексами по убыванию\n"
      L"6. Вывод результирующего вектора B\n"
      L"7. Сохранить матрицу в файл\n"
      L"8. Загрузить матрицу из файла\n"
      L"9. Выход из программы\n\n"
      L"Выберите пункт меню: ";
  std::wcout << menu;
}

void showMatrix() {
  std::wcout << L"Исходная матрица:\n";
  printMatrix();
}

void showSortedMatrix() {
  std::wcout << L"Результирующая матрица:\n";
  printMatrix();
}

// Items 4 and 5: the matrix before and after, with the sort's confirmation between.
void sortAscendingAndShow() {
  showMatrix();
  sortEvenRowsAscending();
  showSortedMatrix();
}

void sortDescendingAndShow() {
  showMatrix();
  sortEvenRowsDescending();
  showSortedMatrix();
}

void runMenuItem(int choice) {
  switch (choice) {
  case 1:
    inputMatrix();
    break;
  case 2:
    showMatrix();
    break;
  case 3:
    fillVectorB();
    break;
  case 4:
    sortAscendingAndShow();
    break;
  case 5:
    sortDescendingAndShow();
    break;
  case 6:
    printVectorB();
    break;
  case 7:
    saveMatrixToFile();
    break;
  case 8:
    loadMatrixFromFile();
    break;
  default:
    std::wcout << L"Неверный выбор! Попробуйте снова.\n";
    break;
  }
}

}  // namespace

bool runMenuIteration() {
  showMenu();
  int choice = 0;
  std::cin >> choice;
  std::wcout << std::endl;
  if (!std::cin) {
    if (std::cin.eof()) {
      return false;  // input has ended: nothing more can be chosen
    }
    std::wcout << L"Неверный выбор! Попробуйте снова.\n";
    std::cin.clear();
    std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    return true;
  }
  if (choice == 9) {
    return false;
  }
  runMenuItem(choice);
  // A failed read is cleared before the next one unless the input has ended.
  return !std::wcin.fail();
}

void runMenuLoop() {
  while (runMenuIteration()) {
  }
}
