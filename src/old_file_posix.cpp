#include "old_file_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#if defined(__linux__) && __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#define MATRIX_FILE_XATTRS 1
#endif

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

// The file's attributes; nothing where one of them cannot be read (user.* needs read
// access), since the new file could then not carry it. A file system without attributes
// has none.
std::optional<Attributes> readAttributes(int file) {
  const std::optional<std::string> names = readSized(
      [file](char* buffer, std::size_t size) { return ::flistxattr(file, buffer, size); });
  if (!names) {
    return errno == ENOTSUP ? std::optional<Attributes>(Attributes{}) : std::nullopt;
  }
  Attributes attributes;
  for (std::size_t start = 0; start < names->size(); start = names->find('\0', start) + 1) {
    const std::string name = names->c_str() + start;
    std::optional<std::string> value = attributeValue(file, nullptr, name.c_str());
    if (!value) {
      return std::nullopt;
    }
    attributes.emplace_back(name, std::move(*value));
  }
  return attributes;
}

bool giveAttributes(int file, const Attributes& attributes) {
  const bool hasAcl = std::any_of(attributes.begin(), attributes.end(), [](const auto& attribute) {
    return attribute.first == aclAttribute;
  });
  // An ACL that the directory's default gave the new file would stay beside the mode.
  if (!hasAcl && ::fremovexattr(file, aclAttribute) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return false;
  }
  return std::all_of(attributes.begin(), attributes.end(), [file](const auto& attribute) {
    return setAttribute(file, attribute.first.c_str(), attribute.second);
  });
}
#else
std::optional<Attributes> readAttributes(int) { return Attributes{}; }
bool giveAttributes(int, const Attributes&) { return true; }
#endif

}  // namespace

std::optional<std::string> attributeValue(int file, const char* path, const char* name) {
#ifdef MATRIX_FILE_XATTRS
  return readSized([&](char* buffer, std::size_t size) {
    return file >= 0 ? ::fgetxattr(file, name, buffer, size) : ::getxattr(path, name, buffer, size);
  });
#else
  static_cast<void>(file);
  static_cast<void>(path);
  static_cast<void>(name);
  errno = ENOTSUP;
  return std::nullopt;
#endif
}

bool setAttribute(int file, const char* name, const std::string& value) {
#ifdef MATRIX_FILE_XATTRS
  return ::fsetxattr(file, name, value.data(), value.size(), 0) == 0;
#else
  static_cast<void>(file);
  static_cast<void>(name);
  static_cast<void>(value);
  errno = ENOTSUP;
  return false;
#endif
}

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
  const bool canBeMadeAgain =
      attributes && (user == 0 || (status.st_uid == user && isMemberOf(status.st_gid)));
  return OldFile{status, attributes ? std::move(*attributes) : Attributes{}, canBeMadeAgain};
}

// Owner and group first, then the permission bits (a change of owner clears the set-ID
// bits, as a write by a user without CAP_FSETID does), then the ACL and attributes.
bool takeOver(int file, const OldFile& old) {
  return ::fchown(file, old.status.st_uid, old.status.st_gid) == 0 &&
         ::fchmod(file, old.status.st_mode & 07777) == 0 && giveAttributes(file, old.attributes);
}

}  // namespace matrix_file
