#include "new_file_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>

#if __has_include(<sys/random.h>)
#include <sys/random.h>  // getentropy on macOS; glibc has it in unistd.h too
#endif

#include "attributes_posix.h"

namespace matrix_file {

namespace {

std::uint64_t randomBits() {
  static std::uint64_t counter = 0;
  std::uint64_t bits = 0;
  if (::getentropy(&bits, sizeof bits) != 0) {
    // Unpredictable names are a courtesy; O_EXCL and a link's refusal to replace a name are
    // what make the file the program's own.
    bits = (static_cast<std::uint64_t>(::getpid()) << 32) ^
           static_cast<std::uint64_t>(std::time(nullptr)) ^ (++counter * 0x9E3779B97F4A7C15u);
  }
  return bits;
}

// A fresh name for a temporary file, whose length does not depend on the file it replaces.
std::string temporaryName() {
  constexpr char digits[] = "0123456789abcdef";
  std::string name = ".matrix-menu-";
  for (std::uint64_t bits = randomBits(), digit = 0; digit < 16; ++digit, bits >>= 4) {
    name += digits[bits & 0xF];
  }
  return name;
}

// Makes something under a fresh temporary name with `make`, which returns false (with errno
// EEXIST where the name is taken) when it cannot. The name it took; empty when none was had.
template <class Make>
std::string underFreshName(Make make) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = temporaryName();
    if (make(name)) {
      return name;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  return {};
}

constexpr mode_t newFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

std::string selfPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

#ifdef O_TMPFILE
// Whether /proc is there to name an unnamed file through: it shows any open descriptor.
bool procIsThere(int fd) {
  char target[1];
  return ::readlinkat(AT_FDCWD, selfPath(fd).c_str(), target, sizeof target) > 0;
}
#endif

}  // namespace

NewFile::NewFile(int directory, bool unnamedOnly) : directory_(directory) {
#ifdef O_TMPFILE
  if (procIsThere(directory)) {
    // Nobody can open a file without a name: it may have the mode of a new file from the
    // start, which the kernel then limits by the umask or the directory's default ACL.
    file_ = Descriptor(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, newFileMode));
  }
#endif
  if (file_ || unnamedOnly) {
    return;
  }
  name_ = underFreshName([this, directory](const std::string& name) {
    file_ = Descriptor(::openat(directory, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                S_IRUSR | S_IWUSR));
    return static_cast<bool>(file_);
  });
}

NewFile::~NewFile() {
  if (!name_.empty() && !placed_) {
    ::unlinkat(directory_, name_.c_str(), 0);
  }
}

bool NewFile::takeNewFileAccess() {
  if (name_.empty()) {
    return true;
  }
  switch (giveInheritedAcl(file_.get(), directory_, newFileMode)) {
  case Inherited::given:
    return true;
  case Inherited::failed:
    return false;
  case Inherited::none:
    break;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return ::fchmod(file_.get(), newFileMode & ~mask) == 0;
}

bool NewFile::name() {
  if (!name_.empty()) {
    return true;
  }
  // Through /proc: linking the descriptor itself (AT_EMPTY_PATH) may need a privilege.
  const std::string self = selfPath(file_.get());
  name_ = underFreshName([this, &self](const std::string& name) {
    return ::linkat(AT_FDCWD, self.c_str(), directory_, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  });
  return !name_.empty();
}

bool NewFile::renameOver(const char* target) {
  placed_ = ::renameat(directory_, name_.c_str(), directory_, target) == 0;
  return placed_;
}

bool NewFile::placeAsNew(const char* target) {
  if (name_.empty()) {
    return ::linkat(AT_FDCWD, selfPath(file_.get()).c_str(), directory_, target,
                    AT_SYMLINK_FOLLOW) == 0;
  }
#ifdef RENAME_NOREPLACE
  placed_ = ::renameat2(directory_, name_.c_str(), directory_, target, RENAME_NOREPLACE) == 0;
  if (placed_ || (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)) {
    return placed_;
  }
#elif defined(RENAME_EXCL)
  // macOS's rename that refuses a name taken; a file system without it says ENOTSUP.
  placed_ = ::renameatx_np(directory_, name_.c_str(), directory_, target, RENAME_EXCL) == 0;
  if (placed_ || (errno != EINVAL && errno != ENOTSUP)) {
    return placed_;
  }
#endif
  // A second name that refuses to replace one; the temporary one goes with the destructor.
  return ::linkat(directory_, name_.c_str(), directory_, target, 0) == 0;
}

}  // namespace matrix_file
