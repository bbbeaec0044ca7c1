// The floor for start-up: a C++ program, compiled with plain g++ -O2, that does no more than
// matrix-menu must before its first wait for input: install the user's locale, write the
// menu on the wide console stream, and read one choice.
#include <iostream>
#include <locale>

int main() {
  std::locale::global(std::locale(""));
  std::wcout.imbue(std::locale());
  std::wcin.imbue(std::locale());
  std::wcout << L"\n=== МЕНЮ ===\n"
                L"1. Ввод элементов матрицы\n"
                L"2. Вывод матрицы на экран\n"
                L"3. Проверка строк на возрастающую последовательность и заполнение вектора B\n"
                L"4. Сортировка строк с четными индексами по возрастанию\n"
                L"5. Сортировка строк с четными индексами по убыванию\n"
                L"6. Вывод результирующего вектора B\n"
                L"7. Сохранить матрицу в файл\n"
                L"8. Загрузить матрицу из файла\n"
                L"9. Выход из программы\n\n"
                L"Выберите пункт меню: "
             << std::flush;
  int choice = 0;
  std::cin >> choice;
  std::wcout << std::endl;
  return 0;
}
