// The new file of a save on POSIX systems: made beside the file it replaces, named only once
// it is complete where the system allows, and put in the file's place by rename, or linked
// under a name that must still be free.
#pragma once

#include <string>

#include "descriptor_posix.h"

namespace matrix_file {

// Where the file system can make a file with no name (Linux's O_TMPFILE) and /proc is there
// to name it later, the new file has none until it is complete, so a SIGKILL meanwhile
// leaves nothing behind; otherwise it has a fresh name from the start, and is private to the
// user until it is complete. The choice is made once, before anything is written. A name
// that is never renamed or linked into place is removed again.
class NewFile {
 public:
  // `unnamedOnly`: where the file cannot be made without a name, it is not made at all.
  NewFile(int directory, bool unnamedOnly);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  explicit operator bool() const { return static_cast<bool>(file_); }
  int get() const { return file_.get(); }

  // Gives the file what a file made with mode 0666 in its directory gets: the umask, or the
  // directory's default ACL instead where it has one. False when that cannot be learnt or
  // given. An unnamed file was made so and needs nothing.
  bool takeNewFileAccess();
  // Gives an unnamed file a fresh name (a named one has one already).
  bool name();
  bool close() { return file_.close(); }
  // Puts the named file in `target`'s place, whatever is there.
  bool renameOver(const char* target);
  // Puts the file, still open, in place as `target`, which must not exist: false (errno
  // EEXIST) where a name appeared there meanwhile. An unnamed file is linked there directly,
  // and so never has any other name.
  bool placeAsNew(const char* target);

 private:
  int directory_;
  Descriptor file_;
  std::string name_;  // empty while the file has no name
  bool placed_ = false;
};

}  // namespace matrix_file
