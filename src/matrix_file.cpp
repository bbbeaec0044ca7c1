#include "matrix_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <locale>
#include <memory>
#include <string>
#include <system_error>

#include "console.h"
#include "matrix_state.h"

namespace fs = std::filesystem;

namespace {

const fs::path fileName = "matrix.txt";

class FileSink final : public console::ByteSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {}
  bool write(const char* data, std::size_t size) override {
    return std::fwrite(data, 1, size, file_) == size;
  }

 private:
  std::FILE* file_;
};

class FileSource final : public console::ByteSource {
 public:
  explicit FileSource(std::FILE* file) : file_(file) {}
  // A read error ends the input like the end of the file: the load then comes up short.
  std::size_t read(char* buffer, std::size_t size) override {
    return std::fread(buffer, 1, size, file_);
  }

 private:
  std::FILE* file_;
};

// Closed on every path; closeFile() closes early and tells whether the close succeeded.
using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FileHandle openFile(const fs::path& path, const char* mode) {
  return {std::fopen(path.c_str(), mode), &std::fclose};
}

bool closeFile(FileHandle& file) { return std::fclose(file.release()) == 0; }

// Writes A in the file's format through the same conversion as the console.
// Returns false if any byte could not be written.
bool writeMatrix(std::FILE* file) {
  const std::locale locale;
  const auto codec = console::Codec::forLocale(locale);
  FileSink sink(file);
  console::OutputBytes bytes(sink);
  console::WideOutputBuffer buffer(bytes, codec);
  std::wostream out(&buffer);
  out.imbue(locale);
  for (const Row& row : A) {
    for (const auto value : row) {
      out << value << L' ';
    }
    out << std::endl;
  }
  return bytes.flush() && std::fflush(file) == 0 && std::ferror(file) == 0;
}

// Reads 20 integers into `matrix`, decoding exactly as the console does, so an invalid
// byte is a bad token wherever it stands in the file. Stops after the 20th.
bool readMatrix(std::FILE* file, Matrix& matrix) {
  const std::locale locale;
  const auto codec = console::Codec::forLocale(locale);
  FileSource source(file);
  console::InputBytes bytes(source, nullptr);
  console::WideInputBuffer buffer(bytes, codec);
  std::wistream in(&buffer);
  in.imbue(locale);
  for (Row& row : matrix) {
    for (auto& value : row) {
      if (!(in >> value)) {
        return false;
      }
    }
  }
  return true;
}

// Where the save really goes: through symbolic links to the file they name.
fs::path resolveLinks(fs::path path) {
  std::error_code error;
  for (int depth = 0; depth < 40 && fs::is_symlink(path, error); ++depth) {
    const fs::path target = fs::read_symlink(path, error);
    if (error) {
      break;
    }
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

bool isReadOnly(const fs::path& path, const fs::file_status& status) {
  // The permission bits count even for a user whom the system would let write anyway.
  if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) {
    return true;
  }
  return !openFile(path, "r+");
}

// Creates a new, empty file beside `target` that did not exist before.
FileHandle createTemporary(const fs::path& target, fs::path& created) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".";  // built step by step: GCC 12 -O3 misreads "." + string
    name += target.filename().string();
    name += ".tmp";
    name += std::to_string(attempt);
    created = target.parent_path() / name;
    errno = 0;
    FileHandle file = openFile(created, "wx");
    if (file || errno != EEXIST) {
      return file;
    }
  }
  return {nullptr, &std::fclose};
}

enum class SaveResult { saved, openFailed, writeFailed };

// Where the directory allows no new file but the file itself may be written.
SaveResult saveInPlace(const fs::path& target) {
  FileHandle file = openFile(target, "w");
  if (!file) {
    return SaveResult::openFailed;
  }
  const bool written = writeMatrix(file.get());
  return closeFile(file) && written ? SaveResult::saved : SaveResult::writeFailed;
}

SaveResult save() {
  const fs::path target = resolveLinks(fileName);
  std::error_code error;
  const fs::file_status existing = fs::status(target, error);
  const bool exists = fs::exists(existing);
  if (exists && (!fs::is_regular_file(existing) || isReadOnly(target, existing))) {
    return SaveResult::openFailed;
  }
  fs::path temporary;
  FileHandle file = createTemporary(target, temporary);
  if (!file) {
    return exists ? saveInPlace(target) : SaveResult::openFailed;
  }
  if (exists) {
    fs::permissions(temporary, existing.permissions(), error);
  }
  const bool written = writeMatrix(file.get());
  if (!closeFile(file) || !written) {
    fs::remove(temporary, error);
    return SaveResult::writeFailed;
  }
  fs::rename(temporary, target, error);
  if (error) {
    fs::remove(temporary, error);
    return SaveResult::openFailed;
  }
  return SaveResult::saved;
}

}  // namespace

void saveMatrixToFile() {
  switch (save()) {
  case SaveResult::saved:
    std::wcout << L"Матрица успешно сохранена в файл.\n";
    break;
  case SaveResult::openFailed:
    std::wcout << L"Ошибка при открытии файла для записи.\n";
    break;
  case SaveResult::writeFailed:
    std::wcout << L"Ошибка при записи в файл.\n";
    break;
  }
}

void loadMatrixFromFile() {
  std::error_code error;
  if (!fs::is_regular_file(fileName, error)) {
    std::wcout << L"Ошибка при открытии файла для чтения.\n";
    return;
  }
  FileHandle file = openFile(fileName, "rb");
  if (!file) {
    std::wcout << L"Ошибка при открытии файла для чтения.\n";
    return;
  }
  Matrix loaded{};
  const bool complete = readMatrix(file.get(), loaded);
  closeFile(file);
  if (!complete) {
    std::wcout << L"Ошибка при чтении файла: матрица не изменена.\n";
    return;
  }
  A = loaded;
  std::wcout << L"Матрица успешно загружена из файла.\n";
}
