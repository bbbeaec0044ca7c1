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

// Saves `bytes` as the file `name`. Where the user could make the file again as it is, and
// where there is none, it is replaced whole, all or nothing: the bytes go to a new file
// beside it (in the directory of the file a link leads to), private to the user until it
// is complete (on Windows: shared with no one while it is written), which takes what the
// old file carried, is flushed to the device and put in its place; a new file gets what
// any new file gets there, and never replaces a name made meanwhile. old_file_posix.h says
// which files a new one can stand for on POSIX systems; on Windows, any that the system
// can replace keeping its security. Any other file that may be written is written into
// itself, which keeps all it carries (its mode too, where the user may give back the
// set-ID bits that a write clears) but may be left incomplete by a crash; another copy of
// the program saving or loading it meanwhile is waited for, five seconds at most. So is an
// existing file on POSIX systems where the directory's flags cannot be learnt. A signal or
// console event that arrives meanwhile takes effect after the save.
// openFailed when the file may not be written (not a regular file, read-only; POSIX:
// another user's in a shared directory, one that could not be looked at, a directory whose
// names cannot be removed), no new file can be made there, a name appeared meanwhile, the
// new file could not be put in place, or another copy of the program held the file;
// writeFailed when writing, flushing or closing the new file fails, or (POSIX) naming it or
// giving it its access, or a write in place. Either way nothing is changed and no temporary
// file remains, but for a write in place that failed past its start, and (Windows) a new
// file the system left under its own name while the old one had already gone.
SaveResult replaceFile(const char* name, std::string_view bytes);

// The file `name` opened for reading, closed when destroyed; nothing when it is anything but
// a regular file that can be read. Opening never waits (a FIFO in the file's place is simply
// not opened) and never makes a terminal the program's own. Its read() returns 0 only at the
// end of the file, byte_io::readError when the file cannot be read, or when another copy of
// the program kept it locked to write it for five seconds.
std::unique_ptr<byte_io::ByteSource> openForReading(const char* name);

}  // namespace matrix_file
