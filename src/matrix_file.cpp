#include "matrix_file.h"

#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "console.h"
#include "input_bytes.h"
#include "matrix_file_platform.h"

namespace {

constexpr const char* fileName = "matrix.txt";
constexpr std::size_t readSize = 4096;

enum class LoadResult { loaded, openFailed, readFailed };

LoadResult load(Matrix& loaded) {
  const std::unique_ptr<byte_io::ByteSource> file = matrix_file::openForReading(fileName);
  if (!file) {
    return LoadResult::openFailed;
  }
  return loadMatrix(*file, console::conventions(), loaded) ? LoadResult::loaded
                                                           : LoadResult::readFailed;
}

// Writes `matrix` to `out` in the file's layout, numbers formatted under `out`'s locale.
void writeMatrix(std::wostream& out, const Matrix& matrix) {
  for (const Row& row : matrix) {
    for (const auto value : row) {
      out << value << L' ';
    }
    out << L'\n';
  }
}

// Reads 20 integers in row-major order into `matrix`, under `in`'s locale, stopping after the
// 20th. False if one of them cannot be read; `matrix` is then partly overwritten.
bool readMatrix(std::wistream& in, Matrix& matrix) {
  for (Row& row : matrix) {
    for (auto& value : row) {
      if (!(in >> value)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

std::string formatMatrix(const Matrix& matrix, const console::Conventions& conventions) {
  std::wostringstream text;
  // A stream keeps to itself the std::bad_alloc of a buffer that cannot grow, and would
  // hand on a matrix cut short as if it were whole: let it through.
  text.exceptions(std::ios::badbit);
  text.imbue(conventions.locale);
  writeMatrix(text, matrix);
  std::string bytes;
  conventions.codec.encode(text.str(), bytes);
  return bytes;
}

bool loadMatrix(byte_io::ByteSource& file, const console::Conventions& conventions,
                Matrix& matrix) {
  // Decoded as the console decodes its input, so an invalid byte is a bad token wherever it
  // stands in the file.
  console::InputBytes bytes(file, readSize);
  console::DecodingBuffer decoder(bytes, conventions.codec);
  std::wistream in(&decoder);
  in.imbue(conventions.locale);
  // A value cut short by a read error could look whole: any read error fails the load.
  return readMatrix(in, matrix) && !bytes.failed();
}

void saveMatrixToFile() {
  switch (matrix_file::replaceFile(fileName, formatMatrix(A, console::conventions()))) {
  case matrix_file::SaveResult::saved:
    std::wcout << L"Матрица успешно сохранена в файл.\n";
    break;
  case matrix_file::SaveResult::openFailed:
    std::wcout << L"Ошибка при открытии файла для записи.\n";
    break;
  case matrix_file::SaveResult::writeFailed:
    std::wcout << L"Ошибка при записи в файл.\n";
    break;
  }
}

void loadMatrixFromFile() {
  Matrix loaded{};
  switch (load(loaded)) {
  case LoadResult::loaded:
    A = loaded;
    std::wcout << L"Матрица успешно загружена из файла.\n";
    break;
  case LoadResult::openFailed:
    std::wcout << L"Ошибка при открытии файла для чтения.\n";
    break;
  case LoadResult::readFailed:
    std::wcout << L"Ошибка при чтении файла: матрица не изменена.\n";
    break;
  }
}
