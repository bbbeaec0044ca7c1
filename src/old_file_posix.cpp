#include "old_file_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "descriptor_posix.h"

namespace matrix_file {

namespace {

bool isMemberOf(gid_t group) {
  if (group == ::getegid()) {
    return true;
  }
  const int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
  const int got = ::getgroups(static_cast<int>(groups.size()), groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

}  // namespace

std::optional<OldFile> examine(int directory, const char* name, const struct stat& status) {
  if (!S_ISREG(status.st_mode) || (status.st_mode & S_IWUSR) == 0 ||
      ::faccessat(directory, name, W_OK, AT_EACCESS) != 0) {
    return std::nullopt;
  }
  // Its attributes are read through a descriptor, which write access gives where read
  // access may not.
  constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  Descriptor file(::openat(directory, name, O_RDONLY | flags));
  if (!file && errno == EACCES) {
    file = Descriptor(::openat(directory, name, O_WRONLY | flags));
  }
  struct stat opened {};
  if (!file || ::fstat(file.get(), &opened) != 0 || opened.st_dev != status.st_dev ||
      opened.st_ino != status.st_ino) {
    return std::nullopt;
  }
  std::optional<Attributes> attributes = readAttributes(file.get());
  const uid_t user = ::geteuid();
  const bool canBeReplaced = attributes && status.st_nlink <= 1 &&
                             (user == 0 || (status.st_uid == user && isMemberOf(status.st_gid)));
  return OldFile{status, attributes ? std::move(*attributes) : Attributes{}, canBeReplaced};
}

// Owner and group first, then the permission bits (a change of owner clears the set-ID
// bits, as a write by a user without CAP_FSETID does), then the ACL and attributes.
bool takeOver(int file, const OldFile& old) {
  return ::fchown(file, old.status.st_uid, old.status.st_gid) == 0 &&
         ::fchmod(file, old.status.st_mode & 07777) == 0 && giveAttributes(file, old.attributes);
}

}  // namespace matrix_file
