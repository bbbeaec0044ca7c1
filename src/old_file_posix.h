// The matrix file that a save replaces or writes into, on POSIX systems: what it carries
// besides its bytes, whether a new file can be made to carry all of it and take its place,
// and handing that over.
#pragma once

#include <sys/stat.h>

#include <optional>

#include "attributes_posix.h"

namespace matrix_file {

struct OldFile {
  struct stat status;
  Attributes attributes;
  // Whether a new file can take its place with all of the above: the user is root, or owns
  // the file and belongs to its group; every attribute could be read and can be copied
  // here; and the file has no other name (hard link), which would go on showing the old one.
  bool canBeReplaced;
};

// The file `name` in `directory`, whose status is `status`, if the user may save over it: a
// regular file they may write to, whose owner has not made it read-only (such a file is not
// written, even where the system would let this user write anyway). Nothing when it may not
// be written, or was swapped meanwhile.
std::optional<OldFile> examine(int directory, const char* name, const struct stat& status);

// Gives the new file `file` the old one's owner, group, permission bits and attributes, the
// ACL included; where the old file had no ACL, the new one keeps none that its directory
// gave it. False when any of them cannot be given: the new file would not be all the old
// one was.
bool takeOver(int file, const OldFile& old);

}  // namespace matrix_file
