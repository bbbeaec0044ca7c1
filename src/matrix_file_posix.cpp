// The matrix file on POSIX systems: a save that replaces it whole through a new file, or
// writes it in place where a new file could not be all the old one was, and opening it for
// reading. Linux-only calls (statx, inode flags, space reserved ahead, the kernel's own
// signal mask, locks of open file descriptions) stand behind feature tests, the plain POSIX
// way beside each.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#if defined(__linux__) && __has_include(<sys/syscall.h>)
#include <sys/syscall.h>
#endif
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#if !defined(STATX_ATTR_APPEND) && defined(SYS_statx) && __has_include(<linux/stat.h>)
// musl before 1.2.5 has no statx of its own: the kernel's call, with the kernel's structure.
#include <linux/stat.h>
static int statx(int directory, const char* path, int flags, unsigned mask, struct statx* out) {
  return static_cast<int>(::syscall(SYS_statx, directory, path, flags, mask, out));
}
#endif

#include "descriptor_posix.h"
#include "matrix_file_platform.h"
#include "new_file_posix.h"
#include "old_file_posix.h"
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

// Whether names can be removed from a directory: an append-only or immutable one lets a
// name be made but never removed, so a save that failed there would leave its temporary
// file. Linux reports the flags through statx, which needs no read access, or on older
// kernels through the flags call on the directory opened for reading (-1 where it could
// not be); where neither tells, that is not known.
enum class Names { removable, fixed, unknown };

#ifdef FS_IOC_GETFLAGS
// The flags call takes its request as an unsigned long in glibc, as an int in musl.
template <class Request>
Request requestParameter(int (*)(int, Request, ...));
using IoctlRequest = decltype(requestParameter(&::ioctl));
#endif

Names namesIn([[maybe_unused]] int directory, int readableDirectory) {
#ifdef STATX_ATTR_APPEND
  constexpr auto fixedNames = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
  struct statx attributes {};
  if (::statx(directory, "", AT_EMPTY_PATH, 0, &attributes) == 0 &&
      (attributes.stx_attributes_mask & fixedNames) == fixedNames) {
    return (attributes.stx_attributes & fixedNames) == 0 ? Names::removable : Names::fixed;
  }
#endif
#ifdef FS_IOC_GETFLAGS
  int flags = 0;
  if (::ioctl(readableDirectory, static_cast<IoctlRequest>(FS_IOC_GETFLAGS), &flags) == 0) {
    return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0 ? Names::removable : Names::fixed;
  }
  // A file system without such flags says so; a directory that could not be opened does not.
  return readableDirectory >= 0 && (errno == ENOTTY || errno == ENOTSUP || errno == EINVAL)
             ? Names::removable
             : Names::unknown;
#elif defined(UF_APPEND)
  static_cast<void>(readableDirectory);
  struct stat status {};
  if (::fstat(directory, &status) != 0) {
    return Names::unknown;
  }
  return (status.st_flags & (UF_APPEND | SF_APPEND | UF_IMMUTABLE | SF_IMMUTABLE)) == 0
             ? Names::removable
             : Names::fixed;
#else
  static_cast<void>(directory);
  static_cast<void>(readableDirectory);
  return Names::removable;
#endif
}

// Copies of the program take turns with the file: a write in place holds all of it
// exclusively until it is synced, a load shared while it reads, so that neither meets a file
// that another copy is half-way through writing. Other programs are not bound by it. Locks
// of open file descriptions where the system has them (a POSIX record lock of another
// program conflicts with them too), flock otherwise.
constexpr auto lockPatience = std::chrono::seconds(5);

bool tryLock(int file, bool exclusive) {
#ifdef F_OFD_SETLK
  struct flock lock {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;  // from the start, a length of 0 being all of it
  return ::fcntl(file, F_OFD_SETLK, &lock) == 0;
#else
  return ::flock(file, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
#endif
}

// Whether a lock failed only because the file system takes none (some network and FUSE
// file systems).
bool locksRefused(int error) {
#if EOPNOTSUPP != ENOTSUP
  if (error == EOPNOTSUPP) {
    return true;
  }
#endif
  return error == ENOLCK || error == ENOTSUP || error == EINVAL;
}

// Locks all of `file`, waiting up to lockPatience for another holder to let go. True also
// where the file system refuses locks: the file is then used as it would be without them.
bool lockWhole(int file, bool exclusive) {
  const auto until = std::chrono::steady_clock::now() + lockPatience;
  while (!tryLock(file, exclusive)) {
    if (locksRefused(errno)) {
      return true;
    }
    // Another holder: EAGAIN (flock's EWOULDBLOCK) or, for some systems' record locks, EACCES.
    const bool held = errno == EAGAIN || errno == EACCES;
    if ((!held && errno != EINTR) || std::chrono::steady_clock::now() >= until) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(held ? 20 : 0));
  }
  return true;
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

// Whether `size` bytes fit into `file` before any is written: within the file-size limit,
// and with room on the device (reserved on Linux; elsewhere a full disk shows in the write).
bool roomFor(int file, std::size_t size) {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur) {
    return false;
  }
#ifdef FALLOC_FL_KEEP_SIZE
  if (::fallocate(file, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0 &&
      (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
    return false;
  }
#else
  static_cast<void>(file);
#endif
  return true;
}

// A write by a user without CAP_FSETID clears the set-ID bits: the file's owner gives them
// back (the set-group-ID bit only as a member of its group, as the system allows). For
// anyone else the system's rule stands.
bool modeGivenBack(int file, const struct stat& old) {
  struct stat now {};
  if (::fstat(file, &now) != 0) {
    return false;
  }
  const uid_t user = ::geteuid();
  return (now.st_mode & 07777) == (old.st_mode & 07777) || (user != 0 && user != old.st_uid) ||
         ::fchmod(file, old.st_mode & 07777) == 0;
}

// Writes `bytes` into the old file itself, which so keeps its owner, group, ACL, attributes
// and hard links, and its mode where the user may give back what the write clears. A crash
// or a failing device meanwhile may leave it incomplete, as with an editor that saves in
// place; a file-size limit or a full disk is found before its first byte changes, and
// another copy of the program saving or loading it meanwhile is waited for.
SaveResult writeInPlace(int directory, const char* name, const OldFile& old,
                        std::string_view bytes) {
  Descriptor file(
      ::openat(directory, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  if (!file || ::fstat(file.get(), &opened) != 0 || opened.st_dev != old.status.st_dev ||
      opened.st_ino != old.status.st_ino || !lockWhole(file.get(), true)) {
    return SaveResult::openFailed;  // not the file examined, or another copy kept it
  }
  if (!roomFor(file.get(), bytes.size()) || !writeAll(file.get(), bytes) ||
      ::ftruncate(file.get(), static_cast<off_t>(bytes.size())) != 0 ||
      !modeGivenBack(file.get(), old.status) || ::fsync(file.get()) != 0 || !file.close()) {
    return SaveResult::writeFailed;
  }
  return SaveResult::saved;
}

// Saves through a new file that takes all the old one carries and is renamed over it; in
// place where the new file cannot be given all of it.
SaveResult replaceOld(int directory, const char* target, const OldFile& old,
                      std::string_view bytes) {
  std::optional<NewFile> file(std::in_place, directory, false);
  if (!*file) {
    return SaveResult::openFailed;  // not written in place instead: that could lose the file
  }
  if (!writeAll(file->get(), bytes)) {
    return SaveResult::writeFailed;
  }
  if (!takeOver(file->get(), old)) {
    file.reset();  // gone before the old file is written
    return writeInPlace(directory, target, old, bytes);
  }
  if (::fsync(file->get()) != 0 || !file->name() || !file->close()) {
    return SaveResult::writeFailed;
  }
  return file->renameOver(target) ? SaveResult::saved : SaveResult::openFailed;
}

// Saves as a new matrix.txt, which must not replace a name made meanwhile; where names
// might not be removable, only through a file that has none until it is in place.
SaveResult makeNew(int directory, const char* target, bool unnamedOnly, std::string_view bytes) {
  NewFile file(directory, unnamedOnly);
  if (!file) {
    return SaveResult::openFailed;
  }
  if (!writeAll(file.get(), bytes) || !file.takeNewFileAccess() || ::fsync(file.get()) != 0) {
    return SaveResult::writeFailed;
  }
  if (!file.placeAsNew(target)) {
    return SaveResult::openFailed;
  }
  return file.close() ? SaveResult::saved : SaveResult::writeFailed;
}

}  // namespace

SaveResult replaceFile(const char* name, std::string_view bytes) {
  const SignalsHeld held;
  const std::optional<Location> location = locate(name);
  if (!location) {
    return SaveResult::openFailed;
  }
  const int directory = location->directory.get();
  // The walk's descriptor may serve only to look names up: the flags call and the sync that
  // makes a rename last need the directory opened for reading.
  const Descriptor readableDirectory(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const Names names = namesIn(directory, readableDirectory.get());
  if (names == Names::fixed) {
    return SaveResult::openFailed;
  }
  const char* target = location->name.c_str();
  SaveResult result = SaveResult::openFailed;
  if (struct stat status{}; ::fstatat(directory, target, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    // Another user's file in a shared directory is not the user's to write, as the kernel's
    // protected_regular rule has it for an open that may create.
    const std::optional<OldFile> old = isTrustedOwner(status.st_uid, directory)
                                           ? examine(directory, target, status)
                                           : std::nullopt;
    if (!old) {
      return SaveResult::openFailed;
    }
    // Where names might not be removable, nothing is named that could stay behind.
    if (!old->canBeReplaced || names == Names::unknown) {
      return writeInPlace(directory, target, *old, bytes);
    }
    result = replaceOld(directory, target, *old, bytes);
  } else if (errno == ENOENT) {
    result = makeNew(directory, target, names == Names::unknown, bytes);
  } else {
    return SaveResult::openFailed;  // a file that could not be looked at may well be there
  }
  // Without this, after a power loss the directory may still name the old file, or none. A
  // failure leaves only the rename's durability to the system: the file is on the device.
  if (result == SaveResult::saved && readableDirectory) {
    static_cast<void>(::fsync(readableDirectory.get()));
  }
  return result;
}

namespace {

// The matrix file being loaded.
// `locked`: false where another copy of the program kept it locked to write it meanwhile,
// which reads as a read error.
class ReadableFile final : public byte_io::ByteSource {
 public:
  ReadableFile(Descriptor file, bool locked) : file_(std::move(file)), locked_(locked) {}

  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    while (locked_) {
      const ssize_t count = ::read(file_.get(), buffer, size);
      if (count >= 0) {
        return count;
      }
      if (errno != EINTR) {
        break;
      }
    }
    return byte_io::readError;
  }

 private:
  Descriptor file_;
  bool locked_;
};

}  // namespace

std::unique_ptr<byte_io::ByteSource> openForReading(const char* name) {
  const std::optional<Location> location = locate(name);
  if (!location) {
    return nullptr;
  }
  // Without O_NONBLOCK a FIFO put in the file's place would keep the open waiting for ever;
  // without O_NOCTTY a terminal would become a session leader's controlling terminal.
  Descriptor file(::openat(location->directory.get(), location->name.c_str(),
                           O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return nullptr;
  }
  const bool locked = lockWhole(file.get(), false);
  return std::make_unique<ReadableFile>(std::move(file), locked);
}

}  // namespace matrix_file
