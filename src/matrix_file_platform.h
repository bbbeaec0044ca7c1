// The file system as the matrix file uses it: matrix_file_posix.cpp and
// matrix_file_windows.cpp implement it for their platforms. On POSIX systems a symbolic link
// is followed only where the kernel's protected_symlinks rule would follow it, whatever the
// system's setting: in a sticky world-writable directory only a link that belongs to the
// user or to the directory's owner. On Windows links are left to the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "byte_io.h"

namespace matrix_file {

enum class SaveResult { saved, openFailed, writeFailed };

// Replaces the file `name` with one that holds `bytes`, all or nothing: they go to a new
// file beside it (in the directory of the file a link leads to), private to the user until
// it is complete (on Windows: shared with no one while it is written); it is never written
// in place. Once written, the new file takes what the old one carries (POSIX: its
// permission bits, ACL and extended attributes, and its owner and group where the system
// lets this user give them, a group it cannot keep getting no permissions; Windows: its
// attributes and security), is flushed to the device and renamed over the old one. A
// signal or console event that arrives meanwhile takes effect after it. openFailed when
// the file may not be replaced (not a regular file, read-only, another user's in a shared
// directory, a directory whose names cannot be removed) or no new file can be made there;
// writeFailed when a write, the flush, or (POSIX) the mode or ACL fails. Either way the
// old file is byte for byte as it was and no temporary file remains.
SaveResult replaceFile(const char* name, std::string_view bytes);

// A regular file opened for reading, closed when destroyed.
class InputFile final : public byte_io::ByteSource {
 public:
  // Check isOpen(): anything but a regular file that can be read is not opened, and opening
  // never waits (a FIFO in the file's place is simply not opened).
  explicit InputFile(const char* name);
  ~InputFile() override;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool isOpen() const { return handle_ != closed; }
  // Reads up to `size` bytes: 0 only at the end of the file, byte_io::readError when the
  // file cannot be read.
  std::ptrdiff_t read(char* buffer, std::size_t size) override;

 private:
  static constexpr std::intptr_t closed = -1;
  std::intptr_t handle_ = closed;  // the platform's descriptor or handle
};

}  // namespace matrix_file
