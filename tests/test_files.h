// Files and directories for the tests: fresh directories, whole files read and written, and
// the locales compiled into the build tree.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <locale>
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

// A locale compiled into the build tree (see tests/CMakeLists.txt), made once.
std::locale namedLocale(const std::string& name);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
// Adds an entry (as "u:nobody:r") to the file's ACL with setfacl. False where the file
// system or the system has no ACLs.
bool setAcl(const std::filesystem::path& path, const std::string& entry);
// The names in a directory, sorted.
std::vector<std::string> listDirectory(const std::filesystem::path& path);

}  // namespace testing_support
