// The matrix file on Windows: replacing it through a temporary file, and opening it for
// reading. Paths are wide here; the file has CR LF line ends, as text mode writes them.
// Windows' min and max macros would stand in for std::min and std::max.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "matrix_file_platform.h"

namespace matrix_file {

namespace {

// A console control event (Ctrl-C, Ctrl-Break, a closed window, logoff, shutdown) that
// arrives during a save waits for the save to finish. The system runs the handler on a thread
// of its own and ends the process once a handler returns for a closed window, or a few
// seconds after the event if none does: so the handler itself takes the lock that a save
// holds, then hands the event on (FALSE) to the default handler, which ends the process as it
// would have. The handler keeps the lock: a save that the program would start meanwhile
// waits for the end instead. The file is then whole, old or new, and no temporary file
// remains.
class InterruptionsHeld {
 public:
  InterruptionsHeld() {
    static const bool handled = SetConsoleCtrlHandler(&waitForSave, TRUE) != 0;
    static_cast<void>(handled);
    AcquireSRWLockExclusive(&saving);
  }
  ~InterruptionsHeld() { ReleaseSRWLockExclusive(&saving); }
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;

 private:
  static BOOL WINAPI waitForSave(DWORD /*event*/) {
    AcquireSRWLockExclusive(&saving);
    return FALSE;
  }
  static inline SRWLOCK saving = SRWLOCK_INIT;
};

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { close(); }
  Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID_HANDLE_VALUE; }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle& operator=(Handle&&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool close() {
    const bool closed = !valid() || CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

// Where the file `name` really is, at the end of its links (a "\\?\" path); `name` itself
// where it does not exist yet.
std::filesystem::path finalPath(const std::filesystem::path& name) {
  const Handle file(CreateFileW(name.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    return name;
  }
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file.get(), path.data(), static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED);
  if (length >= path.size()) {  // too long for the first try: the length it needs
    path.resize(length);
    length = GetFinalPathNameByHandleW(file.get(), path.data(), static_cast<DWORD>(path.size()),
                                       FILE_NAME_NORMALIZED);
  }
  if (length == 0 || length >= path.size()) {
    return name;
  }
  path.resize(length);
  return path;
}

// A new file in `directory` that did not exist before, under a name of its own whose length
// does not depend on the file it will replace.
Handle createTemporary(const std::filesystem::path& directory, std::filesystem::path& name) {
  std::random_device device;
  std::mt19937_64 random(
      device() ^ GetCurrentProcessId() ^
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
  constexpr wchar_t digits[] = L"0123456789abcdef";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring leaf = L".matrix-menu-";
    for (auto bits = random(); leaf.size() < 29; bits >>= 4) {
      leaf += digits[bits & 0xF];
    }
    name = directory / leaf;
    Handle file(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid() || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return Handle(INVALID_HANDLE_VALUE);
}

// Whether the volume that holds `file` keeps security descriptors (NTFS does, FAT does
// not); true where that cannot be learnt.
bool keepsSecurity(const std::filesystem::path& file) {
  wchar_t volume[MAX_PATH + 1];
  DWORD flags = 0;
  return GetVolumePathNameW(file.c_str(), volume, MAX_PATH + 1) == 0 ||
         GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) == 0 ||
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

bool writeAll(HANDLE file, std::string_view bytes) {
  std::string text;  // each newline as CR LF
  text.reserve(bytes.size() + bytes.size() / 8);
  for (const char c : bytes) {
    if (c == '\n') {
      text += '\r';
    }
    text += c;
  }
  DWORD wrote = 0;
  return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) != 0 &&
         wrote == text.size() && FlushFileBuffers(file) != 0;
}

}  // namespace

SaveResult replaceFile(const char* name, std::string_view bytes) {
  const InterruptionsHeld held;
  // Beside the file a link leads to, so that the replacement never crosses volumes.
  const std::filesystem::path target = finalPath(name);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return SaveResult::openFailed;
  }
  std::filesystem::path temporary;
  Handle file = createTemporary(target.parent_path(), temporary);
  if (!file.valid()) {
    return SaveResult::openFailed;  // never written in place: that could lose the old file
  }
  const bool written = writeAll(file.get(), bytes);
  if (!file.close() || !written) {
    DeleteFileW(temporary.c_str());
    return SaveResult::writeFailed;
  }
  // ReplaceFileW keeps the old file's attributes and security; a move would give it the
  // temporary file's, so it stands in only where the volume keeps no security. A new file is
  // moved into a name that must still be free.
  const bool replaced =
      exists ? ReplaceFileW(target.c_str(), temporary.c_str(), nullptr,
                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0 ||
                   (!keepsSecurity(target) &&
                    MoveFileExW(temporary.c_str(), target.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
             : MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
  if (!replaced) {
    DeleteFileW(temporary.c_str());
    return SaveResult::openFailed;
  }
  return SaveResult::saved;
}

namespace {

// The matrix file being loaded.
class ReadableFile final : public byte_io::ByteSource {
 public:
  explicit ReadableFile(Handle handle) : handle_(std::move(handle)) {}

  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    DWORD got = 0;
    if (ReadFile(handle_.get(), buffer, static_cast<DWORD>(size), &got, nullptr) == 0) {
      return byte_io::readError;
    }
    return got;
  }

 private:
  Handle handle_;
};

}  // namespace

std::unique_ptr<byte_io::ByteSource> openForReading(const char* name) {
  Handle file(CreateFileW(std::filesystem::path(name).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) {
    return nullptr;
  }
  return std::make_unique<ReadableFile>(std::move(file));
}

}  // namespace matrix_file
