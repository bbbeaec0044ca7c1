// What a file carries besides its bytes, owner and mode, on POSIX systems: its extended
// attributes and its ACL. Linux keeps the access ACL in an attribute, and both are copied
// as raw bytes. macOS's calls take one more argument, and its ACL is an object of its own:
// the program sees it but does not copy it. Other systems' attributes are not looked at.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace matrix_file {

// A file's extended attributes, names and values; its access ACL among them on Linux.
using Attributes = std::vector<std::pair<std::string, std::string>>;

// The attributes of the file `file` is open on. Nothing where one of them cannot be read
// (user.* needs read access), or where the file carries what cannot be copied here (macOS's
// ACL): a new file could not carry all of it. A file system without attributes has none.
std::optional<Attributes> readAttributes(int file);

// Gives the new file `file` exactly `attributes`, its ACL included: one that its directory
// gave it is removed where `attributes` has none (on macOS, where it cannot be, the call
// fails). False when one of them cannot be given.
bool giveAttributes(int file, const Attributes& attributes);

// Gives the new file `file` the access ACL that a file made with `mode` in `directory` gets
// from the directory's default ACL (Linux), as the kernel gives it to a file it creates.
// `none` where the directory has no default ACL, or the system no such ACLs: the mode then
// stands alone; `failed` where the default ACL cannot be read (the directory may only be
// searched, and /proc is not there) or given.
enum class Inherited { given, none, failed };
Inherited giveInheritedAcl(int file, int directory, mode_t mode);

}  // namespace matrix_file
