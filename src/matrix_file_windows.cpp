// The matrix file on Windows: replacing it through a temporary file, or writing into it where
// the system cannot replace it, and opening it for reading. Paths are wide here; the file
// has CR LF line ends, as text mode writes them.
// Windows' min and max macros would stand in for std::min and std::max.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "line_ends.h"
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
// does not depend on the file it will replace, with the file attributes `attributes`.
Handle createTemporary(const std::filesystem::path& directory, DWORD attributes,
                       std::filesystem::path& name) {
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
                            attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr));
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

bool writeAll(HANDLE file, const std::string& text) {
  DWORD wrote = 0;
  return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) != 0 &&
         wrote == text.size();
}

// Copies of the program take turns with the file: a write into it holds all of it
// exclusively, a load shared while it reads, waiting for another holder for up to five
// seconds. Windows' locks bind other programs' reads and writes too. True also where the
// file system takes no locks.
bool lockWhole(HANDLE file, bool exclusive) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    OVERLAPPED fromTheStart{};
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &fromTheStart) != 0) {
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION) {
      return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
    }
    if (std::chrono::steady_clock::now() >= until) {
      return false;
    }
    Sleep(20);
  }
}

// Writes `text` into the file `target` itself, which so keeps all it carries, but may be left
// incomplete by a crash: where the system cannot replace it, as it would have been written
// without a temporary file.
SaveResult writeInPlace(const std::filesystem::path& target, const std::string& text) {
  Handle file(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid() || !lockWhole(file.get(), true)) {
    return SaveResult::openFailed;
  }
  return writeAll(file.get(), text) && SetEndOfFile(file.get()) != 0 &&
                 FlushFileBuffers(file.get()) != 0 && file.close()
             ? SaveResult::saved
             : SaveResult::writeFailed;
}

// The file attributes that a save keeps, which ReplaceFileW does not.
constexpr DWORD keptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

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
  std::string text;
  appendWithCrLf(text, bytes);
  std::filesystem::path temporary;
  Handle file =
      createTemporary(target.parent_path(), exists ? attributes & keptAttributes : 0, temporary);
  if (!file.valid()) {
    return SaveResult::openFailed;  // never written in place: that could lose the old file
  }
  const bool written = writeAll(file.get(), text) && FlushFileBuffers(file.get()) != 0;
  if (!file.close() || !written) {
    DeleteFileW(temporary.c_str());
    return SaveResult::writeFailed;
  }
  // A new file is moved into a name that must still be free.
  if (!exists) {
    if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0) {
      return SaveResult::saved;
    }
    DeleteFileW(temporary.c_str());
    return SaveResult::openFailed;
  }
  // ReplaceFileW keeps the old file's security, or fails: a move would give it the temporary
  // file's, so it stands in only where the volume keeps no security.
  if (ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, 0, nullptr, nullptr) != 0) {
    return SaveResult::saved;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    // The old file has left the name, the new one still has its own: it must take the name,
    // and is never deleted.
    return MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0
               ? SaveResult::saved
               : SaveResult::writeFailed;
  }
  if (!keepsSecurity(target) &&
      MoveFileExW(temporary.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
    return SaveResult::saved;
  }
  // Both files are as they were (the user may not delete or re-secure the old one, or another
  // program holds it open): written into, as a plain program would write it.
  DeleteFileW(temporary.c_str());
  return writeInPlace(target, text);
}

namespace {

// The matrix file being loaded.
// `locked`: false where another copy of the program kept it locked to write it meanwhile,
// which reads as a read error.
class ReadableFile final : public byte_io::ByteSource {
 public:
  ReadableFile(Handle handle, bool locked) : handle_(std::move(handle)), locked_(locked) {}

  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    DWORD got = 0;
    if (!locked_ || ReadFile(handle_.get(), buffer, static_cast<DWORD>(size), &got, nullptr) == 0) {
      return byte_io::readError;
    }
    return got;
  }

 private:
  Handle handle_;
  bool locked_;
};

}  // namespace

std::unique_ptr<byte_io::ByteSource> openForReading(const char* name) {
  Handle file(CreateFileW(std::filesystem::path(name).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) {
    return nullptr;
  }
  const bool locked = lockWhole(file.get(), false);
  return std::make_unique<ReadableFile>(std::move(file), locked);
}

}  // namespace matrix_file
