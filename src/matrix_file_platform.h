// The file system as the matrix file uses it: matrix_file_posix.cpp and
// matrix_file_windows.cpp implement it for their platforms. On POSIX systems a symbolic link
// is followed only where the kernel's protected_symlinks rule would follow it, whatever the
// system's setting: in a sticky world-writable directory only a link that belongs to the
// user or to the directory's owner. On Windows links are left to the system.
#pragma once

#include <memory>
#include <string_view>

#include "byte_io.h"

namespace matrix_file {

enum class SaveResult { saved, openFailed, writeFailed };

// Replaces the file `name` with one that holds `bytes`, all or nothing: they go to a new
// file beside it (in the directory of the file a link leads to), private to the user until
// it is complete (on Windows: shared with no one while it is written); it is never written
// in place. Once written, the new file takes what the old one carries (POSIX: its permission
// bits, ACL and extended attributes, and its owner and group where the system lets this user
// give them, a group it cannot keep getting no permissions; Windows: its attributes and
// security), is flushed to the device and renamed over the old one. A signal or console
// event that arrives meanwhile takes effect after it. openFailed when the file may not be
// replaced (not a regular file, read-only; POSIX: another user's in a shared directory, a
// directory whose names cannot be removed) or no new file can be made there; writeFailed
// when a write, the flush, or (POSIX) the mode or ACL fails. Either way the old file is byte
// for byte as it was and no temporary file remains.
SaveResult replaceFile(const char* name, std::string_view bytes);

// The file `name` opened for reading, closed when destroyed; nothing when it is anything but
// a regular file that can be read. Opening never waits (a FIFO in the file's place is simply
// not opened). Its read() returns 0 only at the end of the file, byte_io::readError when the
// file cannot be read.
std::unique_ptr<byte_io::ByteSource> openForReading(const char* name);

}  // namespace matrix_file
