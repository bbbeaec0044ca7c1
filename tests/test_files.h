// Files and directories for the tests: fresh directories, whole files read and written, and
// the locales compiled into the build tree.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <locale>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory (in the system's temporary directory, or in `parent`), removed with
// everything in it.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::filesystem::path& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs the test in a fresh working directory, as the program runs in the user's.
class InTempDirectory : public TempDir {
 public:
  InTempDirectory();
  ~InTempDirectory();
  InTempDirectory(const InTempDirectory&) = delete;
  InTempDirectory& operator=(const InTempDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

// True, having said so, where the table row `name` cannot run here because of `why`; false
// where `why` is empty.
bool skips(const std::string& name, const std::string& why);

// A locale compiled into the build tree (see tests/CMakeLists.txt), made once.
std::locale namedLocale(const std::string& name);

// Why what needs glibc's compiled locales (Windows-1251, KOI8-R, digit grouping) or counts
// glibc's own system calls cannot run with this build's C library; empty with glibc.
std::string withoutGlibc();
// Skips the rest of a test that needs glibc, saying why, under another C library.
#define SKIP_WITHOUT_GLIBC()                                                   \
  if (const std::string why = testing_support::withoutGlibc(); !why.empty()) { \
    GTEST_SKIP() << why;                                                       \
  }

// Makes in the working directory what `layout` lists, apart by spaces (or in double quotes):
// "dir/" a directory, "name=text" a file, "name->target" a symbolic link ("{cwd}" in a
// target: the directory).
void makeLayout(const std::string& layout);
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
// Adds an entry (as "u:nobody:r") to the file's ACL with setfacl. False where the file
// system or the system has no ACLs.
bool setAcl(const std::filesystem::path& path, const std::string& entry);

// What a file carries besides its bytes: owner, group, permission bits, and its extended
// attributes, where the access ACL lives.
struct Carried {
  uid_t owner;
  gid_t group;
  unsigned mode;
  std::map<std::string, std::string> attributes;
  bool operator==(const Carried&) const = default;
};
Carried carriedBy(const std::filesystem::path& path);
// What a file made anew in `directory` with mode 0666 carries (under this process's umask).
Carried carriedByNewFile(const std::filesystem::path& directory);
ino_t inodeOf(const std::filesystem::path& path);

// The names in a directory, sorted.
std::vector<std::string> listDirectory(const std::filesystem::path& path);

}  // namespace testing_support
