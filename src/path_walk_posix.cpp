#include "path_walk_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__) && __has_include(<linux/magic.h>)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <deque>
#include <utility>

namespace matrix_file {

namespace {

// A directory to look names up in; O_PATH where there is one (Linux), so that a directory
// that may be searched but not listed still serves.
#ifdef O_PATH
constexpr int directoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

constexpr int maxLinks = 40;  // as Linux allows
constexpr std::size_t maxLinkLength = 65536;

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

// The links of /proc (/proc/self/cwd, /dev/fd/N) report size 0: the buffer grows until the
// target leaves room in it, as readlink(1) does. Empty when the link is gone.
std::string readLink(int directory, const std::string& name, std::size_t reportedSize) {
  for (std::size_t capacity = std::max<std::size_t>(reportedSize + 1, 256);
       capacity <= maxLinkLength; capacity *= 2) {
    std::string target(capacity, '\0');
    const ssize_t length = ::readlinkat(directory, name.c_str(), target.data(), target.size());
    if (length <= 0) {
      return {};
    }
    if (static_cast<std::size_t>(length) < capacity) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
  }
  return {};
}

// Whether `path` names a directory by its form: it ends in "/" (or "/.", or is "."). The
// kernel then takes its last component for a directory, a link's target included.
bool namesDirectory(const std::string& path) {
  return path.ends_with('/') || path.ends_with("/.") || path == ".";
}

// Whether a link of /proc (such as /proc/self/fd/0) stands for a file that no longer has a
// name: its target is then the old name and " (deleted)", which names nothing real.
bool namesDeletedFile(int directory, const std::string& target) {
#if defined(__linux__) && defined(PROC_SUPER_MAGIC)
  struct statfs system {};
  return target.ends_with(" (deleted)") && ::fstatfs(directory, &system) == 0 &&
         system.f_type == PROC_SUPER_MAGIC;
#else
  static_cast<void>(directory);
  static_cast<void>(target);
  return false;
#endif
}

}  // namespace

bool isTrustedOwner(uid_t owner, int directory) {
  struct stat holder {};
  if (::fstat(directory, &holder) != 0) {
    return false;
  }
  // Sticky, and others may write to it: through the group bits too, as the kernel's
  // protected_regular=2 has it.
  const bool shared =
      (holder.st_mode & S_ISVTX) != 0 && (holder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return !shared || owner == ::geteuid() || owner == holder.st_uid;
}

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
      if (++links > maxLinks || !isTrustedOwner(status.st_uid, directory.get())) {
        return std::nullopt;
      }
      const std::string target =
          readLink(directory.get(), part, static_cast<std::size_t>(status.st_size));
      if (target.empty() || namesDeletedFile(directory.get(), target)) {
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

}  // namespace matrix_file
