#include "matrix_file.h"

#include <cstring>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

#include "console.h"
#include "matrix_file_platform.h"

namespace {

constexpr const char* fileName = "matrix.txt";

// The file's characters, decoded exactly as the console decodes its input, so an invalid
// byte is a bad token wherever it stands in the file. A read error ends the characters too,
// and is remembered: it must not pass for the end of the file.
class FileDecoder final : public std::wstreambuf {
 public:
  FileDecoder(console::ByteSource& file, const console::Codec& codec)
      : file_(file), codec_(codec) {}

  bool readFailed() const { return readFailed_; }

 protected:
  int_type underflow() override {
    for (;;) {
      const std::size_t count =
          codec_.decode(bytes_ + pos_, bytes_ + end_, ended_, chars_, byteEnds_, runLength);
      if (count > 0) {
        pos_ += byteEnds_[count - 1];
        setg(chars_, chars_, chars_ + count);
        return traits_type::to_int_type(chars_[0]);
      }
      if (ended_) {
        return traits_type::eof();
      }
      // Keeps the beginning of a character that the next bytes complete.
      std::memmove(bytes_, bytes_ + pos_, end_ - pos_);
      end_ -= pos_;
      pos_ = 0;
      const std::ptrdiff_t read = file_.read(bytes_ + end_, sizeof bytes_ - end_);
      if (read > 0) {
        end_ += static_cast<std::size_t>(read);
      } else {
        ended_ = true;
        readFailed_ = read != 0;
      }
    }
  }

 private:
  static constexpr std::size_t runLength = 1024;

  console::ByteSource& file_;
  const console::Codec& codec_;
  char bytes_[4096] = {};
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  bool readFailed_ = false;
  wchar_t chars_[runLength] = {};
  std::size_t byteEnds_[runLength] = {};
};

// A in the file's layout and the console's conventions, as bytes.
std::string formatMatrix() {
  const console::ConsoleLocale& conventions = console::conventions();
  std::wostringstream text;
  text.imbue(conventions.locale);
  writeMatrix(text, A);
  std::string bytes;
  conventions.codec.encode(text.view(), bytes);
  return bytes;
}

enum class LoadResult { loaded, openFailed, readFailed };

LoadResult load(Matrix& loaded) {
  matrix_file::InputFile file(fileName);
  if (!file.isOpen()) {
    return LoadResult::openFailed;
  }
  return loadMatrix(file, loaded) ? LoadResult::loaded : LoadResult::readFailed;
}

}  // namespace

void writeMatrix(std::wostream& out, const Matrix& matrix) {
  for (const Row& row : matrix) {
    for (const auto value : row) {
      out << value << L' ';
    }
    out << L'\n';
  }
}

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

bool loadMatrix(console::ByteSource& file, Matrix& matrix) {
  const console::ConsoleLocale& conventions = console::conventions();
  FileDecoder decoder(file, conventions.codec);
  std::wistream in(&decoder);
  in.imbue(conventions.locale);
  // A value cut short by a read error could look whole: any read error fails the load.
  return readMatrix(in, matrix) && !decoder.readFailed();
}

void saveMatrixToFile() {
  switch (matrix_file::replaceFile(fileName, formatMatrix())) {
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
