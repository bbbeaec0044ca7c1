// The file system as the matrix file uses it: matrix_file_posix.cpp and
// matrix_file_windows.cpp implement it for their platforms. On POSIX systems a symbolic link
// is followed as the kernel's protected_symlinks rule would follow it, whatever the system's
// setting, and in sticky directories that only the group may write as well: there only a
// link that belongs to the user or to the directory's owner. On Windows links are left to
// the system.
#pragma once

#include <memory>
#include <string_view>

#include "byte_io.h"

namespace matrix_file {

enum class SaveResult { saved, openFailed, writeFailed };

// Saves `bytes` as the file `name`. The file is replaced whole, all or nothing, wherever the
// new file can carry all that the old one does: the bytes go to a new file beside it (in
// the directory of the file a link leads to), private to the user until it is complete (on
// Windows: shared with no one while it is written), which takes the old file's owner,
// group, permission bits and (Linux) extended attributes with the ACL, or (Windows) its
// attributes and security, is flushed to the device and renamed over the old one. A new
// file gets what any new file gets there (the umask, or the directory's default ACL), and
// never replaces a name made meanwhile. On POSIX systems, where the user is not root and
// does not both own the file and belong to its group, or an attribute cannot be read or
// given, the bytes are written into the file itself instead, which keeps all it carries but
// may be left incomplete by a crash. A signal or console event that arrives meanwhile takes
// effect after the save. openFailed when the file may not be written (not a regular file,
// read-only; POSIX: another user's in a shared directory, one that could not be looked at,
// a directory whose names cannot be removed), no new file can be made there, or a name
// appeared meanwhile; writeFailed when naming, writing, flushing or closing the new file
// fails, or (POSIX) giving a new file its access, or a write in place. Either way nothing
// is changed and no temporary file remains, but for a write in place that failed past its
// start.
SaveResult replaceFile(const char* name, std::string_view bytes);

// The file `name` opened for reading, closed when destroyed; nothing when it is anything but
// a regular file that can be read. Opening never waits (a FIFO in the file's place is simply
// not opened). Its read() returns 0 only at the end of the file, byte_io::readError when the
// file cannot be read.
std::unique_ptr<byte_io::ByteSource> openForReading(const char* name);

}  // namespace matrix_file
