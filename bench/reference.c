/* The floor for the benchmark: the same session, the same output bytes and the same flush
 * points (before a read that would wait, and every 64 KiB), with plain C stdio and none of
 * the program's locale handling. Valid input only; values below 1000 (no digit grouping). */
#include <locale.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ROWS 4
#define COLS 5

static int A[ROWS][COLS];
static int B[ROWS];

/* Output reaches the pipe only when the next read would wait. */
static int readInt(int* value) {
  if (stdin->_IO_read_ptr >= stdin->_IO_read_end) {
    struct pollfd input = {0, POLLIN, 0};
    if (poll(&input, 1, 0) != 1) {
      fflush(stdout);
    }
  }
  return scanf("%d", value) == 1;
}

static void printMatrix(void) {
  for (int i = 0; i < ROWS; ++i) {
    for (int j = 0; j < COLS; ++j) {
      printf("%5d", A[i][j]);
    }
    putchar('\n');
  }
}

static int ascending(const void* a, const void* b) {
  return (*(const int*)a > *(const int*)b) - (*(const int*)a < *(const int*)b);
}

static int descending(const void* a, const void* b) { return ascending(b, a); }

static void sortEvenRows(int (*order)(const void*, const void*)) {
  for (int i = 0; i < ROWS; i += 2) {
    qsort(A[i], COLS, sizeof A[i][0], order);
  }
}

static void showSorted(int (*order)(const void*, const void*), const char* confirmation) {
  fputs("Исходная матрица:\n", stdout);
  printMatrix();
  sortEvenRows(order);
  fputs(confirmation, stdout);
  fputs("Результирующая матрица:\n", stdout);
  printMatrix();
}

int main(void) {
  setlocale(LC_ALL, "");
  static char buffer[64 * 1024];
  setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  for (;;) {
    fputs("\n=== МЕНЮ ===\n"
          "1. Ввод элементов матрицы\n"
          "2. Вывод матрицы на экран\n"
          "3. Проверка строк на возрастающую последовательность и заполнение вектора B\n"
          "4. Сортировка строк с четными индексами по возрастанию\n"
          "5. Сортировка строк с четными индексами по убыванию\n"
          "6. Вывод результирующего вектора B\n"
          "7. Сохранить матрицу в файл\n"
          "8. Загрузить матрицу из файла\n"
          "9. Выход из программы\n\n"
          "Выберите пункт меню: ",
          stdout);
    int choice = 0;
    const int ok = readInt(&choice);
    putchar('\n');
    if (!ok || choice == 9) {
      return 0;
    }
    switch (choice) {
      case 1:
        for (int i = 0; i < ROWS; ++i) {
          for (int j = 0; j < COLS; ++j) {
            printf("Введите элемент A[%d][%d]: ", i, j);
            if (!readInt(&A[i][j])) {
              putchar('\n');
              return 0;
            }
          }
        }
        break;
      case 2:
        fputs("Исходная матрица:\n", stdout);
        printMatrix();
        break;
      case 3:
        for (int i = 0; i < ROWS; ++i) {
          int nonDecreasing = 1, allEqual = 1;
          for (int j = 1; j < COLS; ++j) {
            nonDecreasing &= A[i][j] >= A[i][j - 1];
            allEqual &= A[i][j] == A[i][j - 1];
          }
          B[i] = nonDecreasing && !allEqual;
        }
        fputs("Вектор B обновлен.\n", stdout);
        break;
      case 4:
        showSorted(ascending, "Четные строки матрицы отсортированы по возрастанию.\n");
        break;
      case 5:
        showSorted(descending, "Четные строки матрицы отсортированы по убыванию.\n");
        break;
      case 6:
        fputs("Результирующий вектор B: ", stdout);
        for (int i = 0; i < ROWS; ++i) {
          printf("%d ", B[i]);
        }
        putchar('\n');
        break;
      default:
        fputs("Неверный выбор! Попробуйте снова.\n", stdout);
    }
  }
}
