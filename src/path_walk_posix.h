// Finding the matrix file on POSIX systems: a path walked one component at a time as the
// kernel walks it, but with the kernel's rules for shared directories applied whatever the
// system's settings (protected_symlinks, and protected_regular for the caller to apply), to
// sticky directories that only the group may write as well.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "descriptor_posix.h"

namespace matrix_file {

// The file that a path leads to: the directory that holds it, and its name there.
struct Location {
  Descriptor directory;
  std::string name;
};

// Follows `path`, each symbolic link only if its owner is trusted in the directory that
// holds it. The last component need not exist. Nothing when the path leads nowhere: a
// directory missing, a link that may not be followed, more than 40 links, a link of /proc to
// a deleted file, or a file that the path's form calls a directory (a link to "real.txt/"
// or to "new/").
std::optional<Location> locate(const std::string& path);

// Whether a link or file owned by `owner` may be trusted in `directory`: in a sticky
// directory that others may write to (such as /tmp, or one whose group may write), only the
// user's own and the directory owner's are; elsewhere, any. False when the directory cannot
// be looked at.
bool isTrustedOwner(uid_t owner, int directory);

}  // namespace matrix_file
