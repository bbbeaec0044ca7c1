// The matrix file on POSIX systems: replacing it through a temporary file, and opening it
// for reading, both through symbolic links only where the system's own rule for shared
// directories would follow them.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "matrix_file_platform.h"

namespace matrix_file {

namespace {

// A file descriptor, closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closes now. Returns false when the close reports an error, as a delayed write error.
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// A directory to look names up in; O_PATH where there is one, so that a directory that may
// be searched but not listed still serves.
#ifdef O_PATH
constexpr int directoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// The file that a name leads to: the directory that holds it, and its name there.
struct Location {
  Descriptor directory;
  std::string name;
};

std::deque<std::string> components(const std::string& path) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  return parts;
}

// The kernel's protected_symlinks rule, applied whatever the system's setting: in a sticky
// world-writable directory such as /tmp, only a link that belongs to the user or to the
// directory's owner is followed. Another user's link there leads nowhere.
bool mayFollow(const struct stat& link, int directory) {
  struct stat holder {};
  if (::fstat(directory, &holder) != 0) {
    return false;
  }
  const bool shared = (holder.st_mode & S_ISVTX) != 0 && (holder.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == ::geteuid() || link.st_uid == holder.st_uid;
}

std::string readLink(int directory, const std::string& name, std::size_t size) {
  std::string target(size + 1, '\0');
  const ssize_t length = ::readlinkat(directory, name.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) > size) {
    return {};  // gone, or changed meanwhile
  }
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// Whether `path` names a directory by its form: it ends in "/" (or "/.", or is "."). The
// kernel then takes its last component for a directory, a link's target included.
bool namesDirectory(const std::string& path) {
  return path.ends_with('/') || path.ends_with("/.") || path == ".";
}

// Follows `path` one component at a time, each symbolic link only where mayFollow() allows
// it. The last component need not exist. Returns nothing when the path leads nowhere: a
// directory missing, a link that may not be followed, more than 40 links, or a file that
// the path's form calls a directory (a link to "real.txt/" or to "new/").
std::optional<Location> locate(const std::string& path) {
  int links = 0;
  std::deque<std::string> pending = components(path);
  bool directoryRequired = namesDirectory(path);
  Descriptor directory(::open(path.starts_with('/') ? "/" : ".", directoryFlags));
  while (directory && !pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    struct stat status {};
    if (::fstatat(directory.get(), part.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT && pending.empty() && !directoryRequired) {
        return Location{std::move(directory), std::move(part)};  // a file yet to be made
      }
      return std::nullopt;
    }
    if (S_ISLNK(status.st_mode)) {
      if (++links > 40 || !mayFollow(status, directory.get())) {
        return std::nullopt;
      }
      const std::string target =
          readLink(directory.get(), part, static_cast<std::size_t>(status.st_size));
      if (target.empty()) {
        return std::nullopt;
      }
      // Only the form of the path's last link counts: "dir/" in the middle is a directory
      // anyway.
      directoryRequired = directoryRequired || (pending.empty() && namesDirectory(target));
      std::deque<std::string> more = components(target);
      pending.insert(pending.begin(), more.begin(), more.end());
      if (target.starts_with('/')) {
        directory = Descriptor(::open("/", directoryFlags));
      }
    } else if (pending.empty()) {
      // The matrix file is a regular file: a directory in its place is no place to save.
      if (directoryRequired) {
        return std::nullopt;
      }
      return Location{std::move(directory), std::move(part)};
    } else {
      directory = Descriptor(::openat(directory.get(), part.c_str(), directoryFlags | O_NOFOLLOW));
    }
  }
  return std::nullopt;
}

// Every signal that can be held, held while the file is replaced: one that would end the
// program takes effect right after, with matrix.txt complete, old or new, and no temporary
// file left. Only SIGKILL and SIGSTOP cannot be held.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

std::uint64_t randomBits() {
  static std::uint64_t counter = 0;
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    // Unpredictable names are a courtesy; O_EXCL and linkat's refusal to replace a name are
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

// Readable and writable by the user alone until it is complete: another user must never
// read the matrix or hold a handle to what becomes the user's file.
constexpr mode_t privateMode = S_IRUSR | S_IWUSR;

// A new file in `directory` that did not exist before, under a name of its own.
Descriptor createNamed(int directory, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = temporaryName();
    Descriptor file(::openat(directory, name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, privateMode));
    if (file || errno != EEXIST) {
      return file;
    }
  }
  return Descriptor();
}

// A new file in `directory` with no name at all, where the file system can make one (Linux's
// O_TMPFILE): a program killed before the file is complete leaves nothing behind.
Descriptor createUnnamed(int directory) {
#ifdef O_TMPFILE
  return Descriptor(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, privateMode));
#else
  static_cast<void>(directory);
  return Descriptor();
#endif
}

// Gives the unnamed `file` a fresh name in `directory`. The link through /proc needs no
// privilege, where linking the descriptor itself (AT_EMPTY_PATH) may.
bool nameUnnamed(int file, int directory, std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(file);
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = temporaryName();
    if (::linkat(AT_FDCWD, self.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  return false;
}

bool isReadOnly(int directory, const char* name, const struct stat& status) {
  // The permission bits count even for a user whom the system would let write anyway.
  return (status.st_mode & S_IWUSR) == 0 || ::faccessat(directory, name, W_OK, AT_EACCESS) != 0;
}

// The bits a file made anew would have: what the umask leaves of rw-rw-rw-.
mode_t newFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return (S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH) & ~mask;
}

// The complete file takes the old one's owner and group, as far as the system lets this user
// give them, then its permission bits. After the last write: a write by a user without
// CAP_FSETID clears the set-user-ID and set-group-ID bits, and a change of owner does too.
void keepOwnerAndMode(int file, const struct stat* old) {
  if (old == nullptr) {
    if (::fchmod(file, newFileMode()) != 0) {
      // Then the new file stays private to the user: safe, if less shared than asked.
    }
    return;
  }
  if (::fchown(file, old->st_uid, old->st_gid) != 0 &&
      ::fchown(file, static_cast<uid_t>(-1), old->st_gid) != 0) {
    // The file stays the user's own: all a user who may not give files away can do.
  }
  if (::fchmod(file, old->st_mode & 07777) != 0) {
    // Then the new file stays private to the user: safe, if less shared than before.
  }
}

bool writeAll(int file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(file, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

// Without this, after a power loss the directory may still name the old file, or none.
void syncDirectory(int directory) {
  const Descriptor readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable && ::fsync(readable.get()) != 0) {
    // The file itself is on the device; only the rename's durability is left to the system.
  }
}

enum class Attempt { saved, openFailed, writeFailed, unnamedRefused };

// Writes `bytes` to a new file in `directory`, syncs it, gives it the old file's owner and
// mode, and renames it over `target`. An unnamed file gets its temporary name only then, so
// that only the moment between link and rename can leave it behind.
Attempt replaceWith(int directory, const char* target, const struct stat* existing,
                    std::string_view bytes, bool unnamed) {
  std::string temporary;
  Descriptor file = unnamed ? createUnnamed(directory) : createNamed(directory, temporary);
  if (!file) {
    // never written in place: that could lose the old file
    return unnamed ? Attempt::unnamedRefused : Attempt::openFailed;
  }
  const bool written = writeAll(file.get(), bytes) && ::fsync(file.get()) == 0;
  if (written) {
    keepOwnerAndMode(file.get(), existing);
  }
  if (written && unnamed && !nameUnnamed(file.get(), directory, temporary)) {
    return Attempt::unnamedRefused;  // no /proc: the named way, from the start
  }
  if (!file.close() || !written) {
    if (!temporary.empty()) {
      ::unlinkat(directory, temporary.c_str(), 0);
    }
    return Attempt::writeFailed;
  }
  if (::renameat(directory, temporary.c_str(), directory, target) != 0) {
    ::unlinkat(directory, temporary.c_str(), 0);
    return Attempt::openFailed;
  }
  syncDirectory(directory);
  return Attempt::saved;
}

}  // namespace

SaveResult replaceFile(const char* name, std::string_view bytes) {
  const SignalsHeld held;
  const std::optional<Location> location = locate(name);
  if (!location) {
    return SaveResult::openFailed;
  }
  const int directory = location->directory.get();
  const char* target = location->name.c_str();
  struct stat existing {};
  const bool exists = ::fstatat(directory, target, &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && (!S_ISREG(existing.st_mode) || isReadOnly(directory, target, existing))) {
    return SaveResult::openFailed;
  }
  const struct stat* old = exists ? &existing : nullptr;
  Attempt attempt = replaceWith(directory, target, old, bytes, true);
  if (attempt == Attempt::unnamedRefused) {
    attempt = replaceWith(directory, target, old, bytes, false);
  }
  switch (attempt) {
  case Attempt::saved:
    return SaveResult::saved;
  case Attempt::writeFailed:
    return SaveResult::writeFailed;
  case Attempt::openFailed:
  case Attempt::unnamedRefused:
    break;
  }
  return SaveResult::openFailed;
}

InputFile::InputFile(const char* name) {
  const std::optional<Location> location = locate(name);
  if (!location) {
    return;
  }
  // Without O_NONBLOCK a FIFO put in the file's place would keep the open waiting for ever.
  Descriptor file(::openat(location->directory.get(), location->name.c_str(),
                           O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (file && ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode)) {
    handle_ = file.release();
  }
}

InputFile::~InputFile() {
  if (isOpen()) {
    ::close(static_cast<int>(handle_));
  }
}

// NOLINTNEXTLINE(readability-make-member-function-const): reading moves the file position
std::ptrdiff_t InputFile::read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = ::read(static_cast<int>(handle_), buffer, size);
    if (count >= 0) {
      return count;
    }
    if (errno != EINTR) {
      return console::readError;
    }
  }
}

}  // namespace matrix_file
