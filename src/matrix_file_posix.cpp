// The matrix file on POSIX systems: a save that replaces it whole through a new file, or
// writes it in place where a new file could not be all the old one was, and opening it for
// reading. Linux-only calls (statx, inode flags, space reserved ahead, the kernel's own
// signal mask) stand behind feature tests, the plain POSIX way beside each.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
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

// An append-only or immutable directory lets a name be made but never removed, so a save
// that failed there would leave its temporary file. Linux reports the flags through statx,
// which needs no read access, or on older kernels through the flags call on the directory
// opened for reading (-1 where it could not be); where neither tells, nothing is known to
// stand in the way.
#ifdef FS_IOC_GETFLAGS
// The flags call takes its request as an unsigned long in glibc, as an int in musl.
template <class Request>
Request requestParameter(int (*)(int, Request, ...));
using IoctlRequest = decltype(requestParameter(&::ioctl));
#endif

bool namesCanBeRemoved([[maybe_unused]] int directory, int readableDirectory) {
#ifdef STATX_ATTR_APPEND
  constexpr auto fixedNames = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
  struct statx attributes {};
  if (::statx(directory, "", AT_EMPTY_PATH, 0, &attributes) == 0 &&
      (attributes.stx_attributes_mask & fixedNames) == fixedNames) {
    return (attributes.stx_attributes & fixedNames) == 0;
  }
#endif
#ifdef FS_IOC_GETFLAGS
  int flags = 0;
  return ::ioctl(readableDirectory, static_cast<IoctlRequest>(FS_IOC_GETFLAGS), &flags) != 0 ||
         (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
#elif defined(UF_APPEND)
  static_cast<void>(readableDirectory);
  struct stat status {};
  return ::fstat(directory, &status) != 0 ||
         (status.st_flags & (UF_APPEND | SF_APPEND | UF_IMMUTABLE | SF_IMMUTABLE)) == 0;
#else
  static_cast<void>(directory);
  static_cast<void>(readableDirectory);
  return true;
#endif
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

// Writes `bytes` into the old file itself, which so keeps its owner, group, mode, ACL and
// attributes, and any hard links. A crash or a failing device meanwhile may leave it
// incomplete, as with an editor that saves in place; a file-size limit or a full disk is
// found before its first byte changes.
SaveResult writeInPlace(int directory, const char* name, const OldFile& old,
                        std::string_view bytes) {
  Descriptor file(
      ::openat(directory, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  if (!file || ::fstat(file.get(), &opened) != 0 || opened.st_dev != old.status.st_dev ||
      opened.st_ino != old.status.st_ino) {
    return SaveResult::openFailed;  // not the file examined
  }
  if (!roomFor(file.get(), bytes.size()) || !writeAll(file.get(), bytes) ||
      ::ftruncate(file.get(), static_cast<off_t>(bytes.size())) != 0 || ::fsync(file.get()) != 0 ||
      !file.close()) {
    return SaveResult::writeFailed;
  }
  return SaveResult::saved;
}

// Saves through a new file put in the old one's place (`old`, or none), or as a new
// matrix.txt that must not replace a name made meanwhile. Nothing where the new file cannot
// be given all that the old one carries.
std::optional<SaveResult> replaceWhole(int directory, const char* target, const OldFile* old,
                                       std::string_view bytes) {
  NewFile file(directory);
  if (!file) {
    return SaveResult::openFailed;  // not written in place instead: that could lose the file
  }
  if (!writeAll(file.get(), bytes)) {
    return SaveResult::writeFailed;
  }
  if (old != nullptr && !takeOver(file.get(), *old)) {
    return std::nullopt;
  }
  if (old == nullptr && !file.takeNewFileAccess()) {
    return SaveResult::writeFailed;
  }
  if (::fsync(file.get()) != 0 || !file.name() || !file.close()) {
    return SaveResult::writeFailed;
  }
  if (old != nullptr ? !file.renameOver(target) : !file.linkAsNew(target)) {
    return SaveResult::openFailed;
  }
  return SaveResult::saved;
}

}  // namespace

SaveResult replaceFile(const char* name, std::string_view bytes) {
  const SignalsHeld held;
  const std::optional<Location> location = locate(name);
  if (!location) {
    return SaveResult::openFailed;
  }
  const int directory = location->directory.get();
  // For the sync that makes the rename last: the walk's descriptor may serve only to look
  // names up.
  const Descriptor readableDirectory(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!namesCanBeRemoved(directory, readableDirectory.get())) {
    return SaveResult::openFailed;
  }
  const char* target = location->name.c_str();
  std::optional<OldFile> old;
  if (struct stat status{}; ::fstatat(directory, target, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    // Another user's file in a shared directory is not the user's to write, as the kernel's
    // protected_regular rule has it for an open that may create.
    if (!isTrustedOwner(status.st_uid, directory) || !(old = examine(directory, target, status))) {
      return SaveResult::openFailed;
    }
  } else if (errno != ENOENT) {
    return SaveResult::openFailed;  // a file that could not be looked at may well be there
  }
  if (old && !old->canBeMadeAgain) {
    return writeInPlace(directory, target, *old, bytes);
  }
  const std::optional<SaveResult> replaced =
      replaceWhole(directory, target, old ? &*old : nullptr, bytes);
  if (!replaced) {
    return writeInPlace(directory, target, *old, bytes);
  }
  // Without this, after a power loss the directory may still name the old file, or none. A
  // failure leaves only the rename's durability to the system: the file is on the device.
  if (*replaced == SaveResult::saved && readableDirectory) {
    static_cast<void>(::fsync(readableDirectory.get()));
  }
  return *replaced;
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
