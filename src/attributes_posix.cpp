#include "attributes_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#if (defined(__linux__) || defined(__APPLE__)) && __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#define MATRIX_FILE_XATTRS 1
#endif
#if defined(MATRIX_FILE_XATTRS) && defined(__linux__)
#define MATRIX_FILE_LINUX_ACL 1
#endif
#if defined(__APPLE__) && __has_include(<sys/acl.h>)
#include <sys/acl.h>
#define MATRIX_FILE_APPLE_ACL 1
#endif

#include "descriptor_posix.h"

namespace matrix_file {

namespace {

// The system's attribute calls, in Linux's form: macOS's take a position and options too,
// and say ENOATTR where Linux says ENODATA.
#if defined(MATRIX_FILE_XATTRS) && defined(__APPLE__)
constexpr int noSuchAttribute = ENOATTR;
ssize_t listNames(int file, char* names, std::size_t size) {
  return ::flistxattr(file, names, size, 0);
}
ssize_t valueOf(int file, const char* name, char* value, std::size_t size) {
  return ::fgetxattr(file, name, value, size, 0, 0);
}
bool setValue(int file, const char* name, const std::string& value) {
  return ::fsetxattr(file, name, value.data(), value.size(), 0, 0) == 0;
}
#elif defined(MATRIX_FILE_XATTRS)
constexpr int noSuchAttribute = ENODATA;
ssize_t listNames(int file, char* names, std::size_t size) {
  return ::flistxattr(file, names, size);
}
ssize_t valueOf(int file, const char* name, char* value, std::size_t size) {
  return ::fgetxattr(file, name, value, size);
}
bool setValue(int file, const char* name, const std::string& value) {
  return ::fsetxattr(file, name, value.data(), value.size(), 0) == 0;
}
#endif

#ifdef MATRIX_FILE_XATTRS
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

std::optional<std::string> valueOf(int file, const char* name) {
  return readSized(
      [file, name](char* value, std::size_t size) { return valueOf(file, name, value, size); });
}
#endif

#ifdef MATRIX_FILE_LINUX_ACL
constexpr const char* accessAcl = "system.posix_acl_access";
constexpr const char* defaultAcl = "system.posix_acl_default";

// The access ACL that a file made with `mode` gets from the default ACL `acl`: the owner's,
// the mask's (the owning group's where there is no mask) and the others' permissions
// limited by the mode, as the kernel limits them. Entries of eight bytes (tag, permissions,
// id, little-endian) follow a four-byte version.
std::string inheritedAcl(std::string acl, mode_t mode) {
  enum : unsigned { owner = 0x01, owningGroup = 0x04, mask = 0x10, others = 0x20 };
  constexpr std::size_t header = 4;
  constexpr std::size_t entry = 8;
  const auto tagAt = [&acl](std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(acl[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(acl[at + 1])) << 8;
  };
  bool hasMask = false;
  for (std::size_t at = header; at + entry <= acl.size(); at += entry) {
    hasMask = hasMask || tagAt(at) == mask;
  }
  for (std::size_t at = header; at + entry <= acl.size(); at += entry) {
    const unsigned tag = tagAt(at);
    const unsigned allowed = tag == owner                                      ? mode >> 6
                             : tag == mask || (tag == owningGroup && !hasMask) ? mode >> 3
                             : tag == others                                   ? mode
                                                                               : 07;
    acl[at + 2] = static_cast<char>(static_cast<unsigned>(acl[at + 2]) & allowed & 07);
  }
  return acl;
}
#endif

}  // namespace

std::optional<Attributes> readAttributes(int file) {
#ifdef MATRIX_FILE_APPLE_ACL
  if (const acl_t acl = ::acl_get_fd_np(file, ACL_TYPE_EXTENDED)) {
    ::acl_free(acl);
    return std::nullopt;
  }
#endif
#ifdef MATRIX_FILE_XATTRS
  const std::optional<std::string> names =
      readSized([file](char* buffer, std::size_t size) { return listNames(file, buffer, size); });
  if (!names) {
    return errno == ENOTSUP ? std::optional<Attributes>(Attributes{}) : std::nullopt;
  }
  Attributes attributes;
  for (std::size_t start = 0; start < names->size(); start = names->find('\0', start) + 1) {
    const std::string name = names->c_str() + start;
    std::optional<std::string> value = valueOf(file, name.c_str());
    if (!value) {
      return std::nullopt;
    }
    attributes.emplace_back(name, std::move(*value));
  }
  return attributes;
#else
  static_cast<void>(file);
  return Attributes{};
#endif
}

bool giveAttributes(int file, const Attributes& attributes) {
#ifdef MATRIX_FILE_APPLE_ACL
  if (const acl_t acl = ::acl_get_fd_np(file, ACL_TYPE_EXTENDED)) {
    ::acl_free(acl);
    return false;  // inherited from the directory, where the old file had none
  }
#endif
#ifdef MATRIX_FILE_LINUX_ACL
  const bool hasAcl = std::any_of(attributes.begin(), attributes.end(), [](const auto& attribute) {
    return attribute.first == accessAcl;
  });
  if (!hasAcl && ::fremovexattr(file, accessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return false;
  }
#endif
#ifdef MATRIX_FILE_XATTRS
  return std::all_of(attributes.begin(), attributes.end(), [file](const auto& attribute) {
    return setValue(file, attribute.first.c_str(), attribute.second);
  });
#else
  static_cast<void>(file);
  return attributes.empty();
#endif
}

Inherited giveInheritedAcl(int file, int directory, mode_t mode) {
#ifdef MATRIX_FILE_LINUX_ACL
  // Read through the directory opened for reading, or through /proc where it may only be
  // searched.
  std::optional<std::string> acl;
  if (const Descriptor readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      readable) {
    acl = valueOf(readable.get(), defaultAcl);
  } else {
    const std::string path = "/proc/self/fd/" + std::to_string(directory);
    acl = readSized([&path](char* value, std::size_t size) {
      return ::getxattr(path.c_str(), defaultAcl, value, size);
    });
  }
  if (!acl) {
    return errno == noSuchAttribute || errno == ENOTSUP ? Inherited::none : Inherited::failed;
  }
  return setValue(file, accessAcl, inheritedAcl(*acl, mode)) ? Inherited::given : Inherited::failed;
#else
  static_cast<void>(file);
  static_cast<void>(directory);
  static_cast<void>(mode);
  return Inherited::none;
#endif
}

}  // namespace matrix_file
