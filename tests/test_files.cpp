// Files, directories and locales for the tests.
#include "test_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::filesystem::path& parent) {
  std::string pattern = (parent / "matrix-menu-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp: " + std::to_string(errno));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

InTempDirectory::InTempDirectory() : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(path());
}

InTempDirectory::~InTempDirectory() { std::filesystem::current_path(previous_); }

bool skips(const std::string& name, const std::string& why) {
  if (!why.empty()) {
    std::cout << "skipped \"" << name << "\": " << why << "\n";
  }
  return !why.empty();
}

std::locale namedLocale(const std::string& name) {
  // Made once each: glibc keeps a little memory for every locale it loads.
  static std::map<std::string, std::locale> loaded;
  const auto found = loaded.find(name);
  if (found != loaded.end()) {
    return found->second;
  }
  ::setenv("LOCPATH", LOCALE_DIR, 1);
  return loaded.emplace(name, std::locale(name)).first->second;
}

std::string withoutGlibc() {
#ifdef __GLIBC__
  return "";
#else
  return "musl's locales are all UTF-8 and group no digits, and its calls are not glibc's";
#endif
}

void makeLayout(const std::string& layout) {
  std::istringstream entries(layout);
  for (std::string entry; entries >> std::quoted(entry);) {
    if (const std::size_t arrow = entry.find("->"); arrow != std::string::npos) {
      std::string target = entry.substr(arrow + 2);
      if (target.starts_with("{cwd}")) {
        target.replace(0, 5, std::filesystem::current_path().string());
      }
      std::filesystem::create_symlink(target, entry.substr(0, arrow));
    } else if (const std::size_t equals = entry.find('='); equals != std::string::npos) {
      writeFile(entry.substr(0, equals), entry.substr(equals + 1));
    } else {
      std::filesystem::create_directory(entry);
    }
  }
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

bool setAcl(const std::filesystem::path& path, const std::string& entry) {
  const std::string command = "setfacl -m '" + entry + "' '" + path.string() + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

Carried carriedBy(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    throw std::runtime_error("stat " + path.string() + ": " + std::to_string(errno));
  }
  Carried carried{status.st_uid, status.st_gid, status.st_mode & 07777, {}};
  char names[4096];
  const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
  for (ssize_t start = 0; start < size;
       start += static_cast<ssize_t>(std::strlen(names + start)) + 1) {
    char value[4096];
    const ssize_t length = ::getxattr(path.c_str(), names + start, value, sizeof value);
    carried.attributes[names + start] =
        std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
  }
  return carried;
}

Carried carriedByNewFile(const std::filesystem::path& directory) {
  const auto path = directory / "made anew";
  ::close(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
  Carried carried = carriedBy(path);
  std::filesystem::remove(path);
  return carried;
}

ino_t inodeOf(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

std::vector<std::string> listDirectory(const std::filesystem::path& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testing_support
