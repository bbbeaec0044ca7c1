// The matrix file on POSIX systems: replacing it through a new file that takes over all the
// old one was, and opening it for reading. Linux-only calls (O_TMPFILE, extended attributes,
// inode flags, the kernel's own signal mask) stand behind feature tests, the plain POSIX way
// beside each.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if __has_include(<sys/random.h>)
#include <sys/random.h>  // getentropy on macOS; glibc has it in unistd.h too
#endif
#if defined(__linux__) && __has_include(<sys/syscall.h>)
#include <sys/syscall.h>
#endif
#if defined(__linux__) && __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#define MATRIX_FILE_XATTRS 1
#endif
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "descriptor_posix.h"
#include "matrix_file_platform.h"
#include "path_walk_posix.h"

namespace matrix_file {

namespace {

// Every signal that can be held, held while the file is replaced: one that would end the
// program takes effect right after, with matrix.txt complete, old or new, and no temporary
// file left. Only SIGKILL and SIGSTOP cannot be held.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t every;
    std::memset(&every, 0xFF, sizeof every);
    setMask(SIG_BLOCK, &every, &previous_);
  }
  ~SignalsHeld() { setMask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
#if defined(__linux__) && defined(SYS_rt_sigprocmask)
  // glibc keeps two real-time signals for itself and takes them out of any set given to
  // sigprocmask, though their default action ends the process: the kernel's own call holds
  // them too.
  static void setMask(int how, const sigset_t* set, sigset_t* old) {
    ::syscall(SYS_rt_sigprocmask, how, set, old, _NSIG / 8);
  }
#else
  static void setMask(int how, const sigset_t* set, sigset_t* old) { ::sigprocmask(how, set, old); }
#endif
  sigset_t previous_{};
};

std::uint64_t randomBits() {
  static std::uint64_t counter = 0;
  std::uint64_t bits = 0;
  if (::getentropy(&bits, sizeof bits) != 0) {
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

// The new file, beside the one it replaces. Where the file system can make a file with no
// name (Linux's O_TMPFILE) and /proc is there to name it later, it has none until it is
// complete, so a SIGKILL meanwhile leaves nothing behind; otherwise it has a fresh name from
// the start. The choice is made once, before anything is written. A name that is never
// renamed over the target is removed again.
class NewFile {
 public:
  explicit NewFile(int directory) : directory_(directory) {
#ifdef O_TMPFILE
    if (procIsThere(directory)) {
      file_ = Descriptor(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, privateMode));
      if (file_) {
        return;
      }
    }
#endif
    name_ = underFreshName([this, directory](const std::string& name) {
      file_ =
          Descriptor(::openat(directory, name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, privateMode));
      return static_cast<bool>(file_);
    });
  }
  ~NewFile() {
    if (!name_.empty() && !renamed_) {
      ::unlinkat(directory_, name_.c_str(), 0);
    }
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  explicit operator bool() const { return static_cast<bool>(file_); }
  int get() const { return file_.get(); }

  // Gives an unnamed file its name, through /proc: linking the descriptor itself
  // (AT_EMPTY_PATH) may need a privilege. A named file has one already.
  bool link() {
    if (!name_.empty()) {
      return true;
    }
    const std::string self = selfPath(file_.get());
    name_ = underFreshName([this, &self](const std::string& name) {
      return ::linkat(AT_FDCWD, self.c_str(), directory_, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
    return !name_.empty();
  }
  bool close() { return file_.close(); }
  bool renameOver(const char* target) {
    renamed_ = ::renameat(directory_, name_.c_str(), directory_, target) == 0;
    return renamed_;
  }

 private:
  static std::string selfPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }
  // Whether /proc is there to name an unnamed file through: it shows any open descriptor.
  static bool procIsThere(int fd) {
    char target[1];
    return ::readlinkat(AT_FDCWD, selfPath(fd).c_str(), target, sizeof target) > 0;
  }

  int directory_;
  Descriptor file_;
  std::string name_;  // empty while the file has no name
  bool renamed_ = false;
};

// A file's extended attributes, its ACL among them (Linux keeps the access ACL in one).
using Attributes = std::vector<std::pair<std::string, std::string>>;

#ifdef MATRIX_FILE_XATTRS
constexpr const char* aclAttribute = "system.posix_acl_access";

// A list or value that may grow between asking for its size and reading it.
template <class Read>
std::optional<std::string> readSized(Read read) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t size = read(nullptr, 0);
    if (size < 0) {
      return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    const ssize_t length = read(bytes.data(), bytes.size());
    if (length >= 0) {
      bytes.resize(static_cast<std::size_t>(length));
      return bytes;
    }
    if (errno != ERANGE) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// Nothing when the ACL cannot be read: the new file's access could then not be made the
// same. Another attribute that cannot be read (user.* needs read access) is left out.
std::optional<Attributes> readAttributes(int file) {
  const std::optional<std::string> names = readSized(
      [file](char* buffer, std::size_t size) { return ::flistxattr(file, buffer, size); });
  if (!names) {
    return errno == ENOTSUP ? std::optional<Attributes>(Attributes{}) : std::nullopt;
  }
  Attributes attributes;
  for (std::size_t start = 0; start < names->size(); start = names->find('\0', start) + 1) {
    const std::string name = names->c_str() + start;
    const std::optional<std::string> value = readSized([&](char* buffer, std::size_t size) {
      return ::fgetxattr(file, name.c_str(), buffer, size);
    });
    if (value) {
      attributes.emplace_back(name, *value);
    } else if (name == aclAttribute && errno != ENODATA) {
      return std::nullopt;
    }
  }
  return attributes;
}

// An attribute this user may not set (trusted.*, a security label) is left out; the ACL
// must be given, or its mask would turn into permissions for the owning group.
bool giveAttributes(int file, const Attributes& attributes, bool groupKept) {
  return std::all_of(
      attributes.begin(), attributes.end(), [file, groupKept](const auto& attribute) {
        const auto& [name, value] = attribute;
        const bool acl = name == aclAttribute;
        if (acl && !groupKept) {
          return true;  // it speaks of a group the file no longer has: narrower without it
        }
        return ::fsetxattr(file, name.c_str(), value.data(), value.size(), 0) == 0 || !acl;
      });
}
#else
std::optional<Attributes> readAttributes(int) { return Attributes{}; }
bool giveAttributes(int, const Attributes&, bool) { return true; }
#endif

// What the file being replaced hands on to the new one.
struct OldFile {
  struct stat status {};
  Attributes attributes;
};

// The file, if the user may replace it: a regular file they may write to, by its permission
// bits too (even where the system would let this user write anyway). Its attributes are
// read through a descriptor, which write access gives where read access may not.
std::optional<OldFile> examine(int directory, const char* name, const struct stat& status) {
  if (!S_ISREG(status.st_mode) || (status.st_mode & S_IWUSR) == 0 ||
      ::faccessat(directory, name, W_OK, AT_EACCESS) != 0) {
    return std::nullopt;
  }
  constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  Descriptor file(::openat(directory, name, O_RDONLY | flags));
  if (!file && errno == EACCES) {
    file = Descriptor(::openat(directory, name, O_WRONLY | flags));
  }
  struct stat opened {};
  if (!file || ::fstat(file.get(), &opened) != 0 || opened.st_dev != status.st_dev ||
      opened.st_ino != status.st_ino) {
    return std::nullopt;  // gone or swapped meanwhile
  }
  std::optional<Attributes> attributes = readAttributes(file.get());
  if (!attributes) {
    return std::nullopt;
  }
  return OldFile{status, std::move(*attributes)};
}

// An append-only or immutable directory lets a name be made but never removed, so a save
// that failed there would leave its temporary file. Where the flags cannot be read (or the
// directory not be opened for reading, -1), nothing is known to stand in the way.
bool namesCanBeRemoved(int readableDirectory) {
#ifdef FS_IOC_GETFLAGS
  int flags = 0;
  return ::ioctl(readableDirectory, FS_IOC_GETFLAGS, &flags) != 0 ||
         (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
#elif defined(UF_APPEND)
  struct stat status {};
  return ::fstat(readableDirectory, &status) != 0 ||
         (status.st_flags & (UF_APPEND | SF_APPEND | UF_IMMUTABLE | SF_IMMUTABLE)) == 0;
#else
  static_cast<void>(readableDirectory);
  return true;
#endif
}

// The bits a file made anew would have: what the umask leaves of rw-rw-rw-.
mode_t newFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return (S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH) & ~mask;
}

// The old file's owner and group, as far as this user may give them: root gives both, a
// member of the file's group gives the group. Returns whether the group is the old one.
bool giveOwnerAndGroup(int file, const struct stat& old) {
  return ::fchown(file, old.st_uid, old.st_gid) == 0 ||
         ::fchown(file, static_cast<uid_t>(-1), old.st_gid) == 0;
}

// Owner and group, then the permission bits (after them: a change of owner clears the
// set-ID bits, as a write by a user without CAP_FSETID does), then the ACL and attributes.
// Where the group cannot be kept, what it was allowed is not handed to another group.
// False when the new file's access cannot be made what the old file's was.
bool takeOver(int file, const std::optional<OldFile>& old) {
  if (!old) {
    return ::fchmod(file, newFileMode()) == 0;
  }
  const bool groupKept = giveOwnerAndGroup(file, old->status);
  mode_t mode = old->status.st_mode & 07777;
  if (!groupKept) {
    mode &= static_cast<mode_t>(~(S_IRWXG | S_ISGID));
  }
  return ::fchmod(file, mode) == 0 && giveAttributes(file, old->attributes, groupKept);
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

}  // namespace

SaveResult replaceFile(const char* name, std::string_view bytes) {
  const SignalsHeld held;
  const std::optional<Location> location = locate(name);
  if (!location) {
    return SaveResult::openFailed;
  }
  const int directory = location->directory.get();
  // For its flags, and for the sync that makes the rename last: the walk's descriptor may
  // serve only to look names up.
  const Descriptor readableDirectory(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!namesCanBeRemoved(readableDirectory.get())) {
    return SaveResult::openFailed;
  }
  const char* target = location->name.c_str();
  std::optional<OldFile> old;
  if (struct stat status{}; ::fstatat(directory, target, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    // Another user's file in a shared directory is not the user's to replace, as the
    // kernel's protected_regular rule has it for an open that may create.
    if (!isTrustedOwner(status.st_uid, directory) || !(old = examine(directory, target, status))) {
      return SaveResult::openFailed;
    }
  }
  NewFile file(directory);
  if (!file) {
    return SaveResult::openFailed;  // never written in place: that could lose the old file
  }
  if (!writeAll(file.get(), bytes) || !takeOver(file.get(), old) || ::fsync(file.get()) != 0 ||
      !file.link() || !file.close()) {
    return SaveResult::writeFailed;
  }
  if (!file.renameOver(target)) {
    return SaveResult::openFailed;
  }
  // Without this, after a power loss the directory may still name the old file, or none. A
  // failure leaves only the rename's durability to the system: the file is on the device.
  if (readableDirectory) {
    static_cast<void>(::fsync(readableDirectory.get()));
  }
  return SaveResult::saved;
}

namespace {

// The matrix file being loaded.
class ReadableFile final : public byte_io::ByteSource {
 public:
  explicit ReadableFile(Descriptor file) : file_(std::move(file)) {}

  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t count = ::read(file_.get(), buffer, size);
      if (count >= 0) {
        return count;
      }
      if (errno != EINTR) {
        return byte_io::readError;
      }
    }
  }

 private:
  Descriptor file_;
};

}  // namespace

std::unique_ptr<byte_io::ByteSource> openForReading(const char* name) {
  const std::optional<Location> location = locate(name);
  if (!location) {
    return nullptr;
  }
  // Without O_NONBLOCK a FIFO put in the file's place would keep the open waiting for ever.
  Descriptor file(::openat(location->directory.get(), location->name.c_str(),
                           O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return nullptr;
  }
  return std::make_unique<ReadableFile>(std::move(file));
}

}  // namespace matrix_file
