// The matrix file's temporary file, replacement and reading on POSIX systems.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "matrix_file_platform.h"

namespace fs = std::filesystem;

namespace matrix_file {

namespace {

// Closed on every path; closeFile() closes early and tells whether the close succeeded.
using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FileHandle openFile(const fs::path& path, const char* mode) {
  return {std::fopen(path.c_str(), mode), &std::fclose};
}

bool closeFile(FileHandle& file) { return std::fclose(file.release()) == 0; }

// Returns false if any byte could not be written.
bool writeAll(std::FILE* file, std::string_view bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
         std::fflush(file) == 0 && std::ferror(file) == 0;
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

// Where the directory allows no new file but the file itself may be written.
SaveResult saveInPlace(const fs::path& target, std::string_view bytes) {
  FileHandle file = openFile(target, "w");
  if (!file) {
    return SaveResult::openFailed;
  }
  const bool written = writeAll(file.get(), bytes);
  return closeFile(file) && written ? SaveResult::saved : SaveResult::writeFailed;
}

}  // namespace

SaveResult replaceFile(const char* name, std::string_view bytes) {
  // A file-size limit then makes the write fail instead of killing the program.
  std::signal(SIGXFSZ, SIG_IGN);
  const fs::path target = resolveLinks(name);
  std::error_code error;
  const fs::file_status existing = fs::status(target, error);
  const bool exists = fs::exists(existing);
  if (exists && (!fs::is_regular_file(existing) || isReadOnly(target, existing))) {
    return SaveResult::openFailed;
  }
  fs::path temporary;
  FileHandle file = createTemporary(target, temporary);
  if (!file) {
    return exists ? saveInPlace(target, bytes) : SaveResult::openFailed;
  }
  if (exists) {
    fs::permissions(temporary, existing.permissions(), error);
  }
  const bool written = writeAll(file.get(), bytes);
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

InputFile::InputFile(const char* name) {
  std::error_code error;
  if (fs::is_regular_file(name, error)) {
    handle_ = ::open(name, O_RDONLY | O_CLOEXEC);
  }
}

InputFile::~InputFile() {
  if (isOpen()) {
    ::close(static_cast<int>(handle_));
  }
}

// NOLINTNEXTLINE(readability-make-member-function-const): reading moves the file position
std::size_t InputFile::read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = ::read(static_cast<int>(handle_), buffer, size);
    if (count >= 0) {
      return static_cast<std::size_t>(count);
    }
    if (errno != EINTR) {
      return 0;  // a read error ends the file: the load then comes up short
    }
  }
}

}  // namespace matrix_file
