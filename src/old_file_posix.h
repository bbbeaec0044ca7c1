// The matrix file that a save replaces, on POSIX systems: what it carries besides its bytes
// (owner, group, permission bits and, on Linux, its extended attributes with the ACL among
// them), whether a new file can be made to carry all of it, and handing that over.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace matrix_file {

// A file's extended attributes, its access ACL among them (Linux keeps it in one). Empty on
// systems whose attributes the program does not copy.
using Attributes = std::vector<std::pair<std::string, std::string>>;

struct OldFile {
  struct stat status;
  Attributes attributes;
  // Whether a new file can be given all of the above: the user is root, or owns the file
  // and belongs to its group, and every attribute could be read.
  bool canBeMadeAgain;
};

// The file `name` in `directory`, whose status is `status`, if the user may save over it: a
// regular file they may write to, by its permission bits too (even where the system would
// let this user write anyway). Nothing when it may not be written, or was swapped meanwhile.
std::optional<OldFile> examine(int directory, const char* name, const struct stat& status);

// Gives the new file `file` the old one's owner, group, permission bits and attributes, the
// ACL included; a new file without an ACL of its own keeps none that its directory gave it.
// False when any of them cannot be given: the new file would not be all the old one was.
bool takeOver(int file, const OldFile& old);

// The value of the attribute `name` of the file that `file` is open on, or of `path` where
// `file` is -1; nothing, with errno set, where it cannot be read.
std::optional<std::string> attributeValue(int file, const char* path, const char* name);
// Sets the attribute `name` of the file that `file` is open on; false where it cannot.
bool setAttribute(int file, const char* name, const std::string& value);

}  // namespace matrix_file
