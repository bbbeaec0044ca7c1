// Saving and loading matrix.txt through symbolic links, as the kernel resolves them, and in
// shared directories as its protected_symlinks rule has it; with the modes of the files.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "expected.h"
#include "fake_console.h"
#include "gtest/gtest.h"
#include "matrix_file.h"
#include "matrix_state.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
// The documented texts and values, typed once in expected.h.
using namespace expected;  // NOLINT(google-build-using-namespace)
using testing_support::InTempDirectory;
using testing_support::listDirectory;
using testing_support::MemoryConsole;
using testing_support::namedLocale;
using testing_support::readFile;
using testing_support::writeFile;

const Matrix untouched = {{{9, 9, 9, 9, 9}}};  // what a failed load leaves in A

TEST(SaveMatrixToFile, KeepsPermissionBitsAndSymbolicLinks) {
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("C"));
  testing_support::makeLayout("data/ data/real.txt=old matrix.txt->data/real.txt");
  fs::permissions("data/real.txt",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  A = counting;
  saveMatrixToFile();
  EXPECT_EQ(term.output(), saved);
  EXPECT_TRUE(fs::is_symlink("matrix.txt"));
  EXPECT_EQ(readFile("data/real.txt"), countingFile);
  EXPECT_EQ(fs::status("data/real.txt").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(listDirectory("data"), std::vector<std::string>{"real.txt"});
}

struct LinkLayoutCase {
  const char* name;
  const char* layout;  // the working directory's, as makeLayout() takes it
  const char* file;    // where matrix.txt leads; null where the kernel would refuse the path
};

// Save and load follow links as the kernel resolves a path: a target that ends in "/" names
// a directory, which a file is not, and a new file is not made there either.
TEST(MatrixFileLinks, AreFollowedAsTheKernelWould) {
  const LinkLayoutCase cases[] = {
      {"a dangling link gets its target made", "matrix.txt->elsewhere.txt", "elsewhere.txt"},
      {"an absolute target", "real.txt=old matrix.txt->{cwd}/real.txt", "real.txt"},
      {"a chain of two links", "data/ data/real.txt=old middle->data/real.txt matrix.txt->middle",
       "data/real.txt"},
      {"a slash after a directory's link in the middle",
       "data/ data/real.txt=old sub->data/ matrix.txt->sub/real.txt", "data/real.txt"},
      {"a target named as /proc names a deleted file",
       "\"gone (deleted)=old\" \"matrix.txt->gone (deleted)\"", "gone (deleted)"},
      {"a link through /proc, whose links report size 0",
       "real.txt=old matrix.txt->/proc/self/cwd/real.txt", "real.txt"},
      {"a file's name with a slash after it", "real.txt=old matrix.txt->real.txt/", nullptr},
      {"a new name with a slash after it", "matrix.txt->new/", nullptr},
      {"a slash after a link to a file", "real.txt=old middle->real.txt matrix.txt->middle/.",
       nullptr},
  };
  for (const auto& c : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("C"));
    testing_support::makeLayout(c.layout);
    const std::vector<std::string> before = listDirectory(".");
    A = counting;
    saveMatrixToFile();
    A = untouched;
    loadMatrixFromFile();
    EXPECT_TRUE(fs::is_symlink("matrix.txt")) << c.name;
    if (c.file != nullptr) {
      EXPECT_EQ(term.output(), saved + loaded) << c.name;
      EXPECT_EQ(A, counting) << c.name;
      EXPECT_EQ(readFile(c.file), countingFile) << c.name;
    } else {
      EXPECT_EQ(term.output(), openForWriting + openForReading) << c.name;
      EXPECT_EQ(A, untouched) << c.name;
      EXPECT_EQ(listDirectory("."), before) << c.name;
      EXPECT_FALSE(fs::exists("real.txt") && readFile("real.txt") != "old") << c.name;
    }
  }
}

struct SharedCase {
  const char* name;
  fs::perms directoryMode;  // sticky and world-writable (as /tmp is) makes it shared
  uid_t owner;              // of the link or file
  uid_t directoryOwner;
  bool link;      // matrix.txt is a link to ../target.txt, else a file of its own
  bool followed;  // the link is followed, or the file replaced
};

// In a sticky directory that others may write to, a link is followed, and a file written,
// only where it is the user's or the directory owner's, as the kernel's protected_symlinks
// and protected_regular rules have it, whatever the system's settings, and also where the
// group alone may write. Such a file still loads.
TEST(MatrixFileLinks, InASharedDirectoryAreFollowedOnlyIfTheirOwnerIsTrusted) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "links and files of another user need root to make";
  }
  constexpr uid_t me = 0;
  constexpr fs::perms shared = fs::perms::all | fs::perms::sticky_bit;
  constexpr fs::perms searchable = fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec;
  constexpr fs::perms groupShared = searchable | fs::perms::group_write | fs::perms::sticky_bit;
  const SharedCase cases[] = {
      {"own link in a shared directory", shared, me, me, true, true},
      {"another user's link in a shared directory", shared, nobody, me, true, false},
      {"the directory owner's link", shared, nobody, nobody, true, true},
      {"another user's link in a private directory", searchable, nobody, me, true, true},
      {"another user's link, sticky and group-writable", groupShared, nobody, me, true, false},
      {"another user's file, sticky and group-writable", groupShared, nobody, me, false, false},
      {"everybody may write, but not sticky", fs::perms::all, nobody, me, true, true},
      {"own file in another's shared directory", shared, me, nobody, false, true},
      {"another user's file in a shared directory", shared, nobody, me, false, false},
      {"the directory owner's file", shared, nobody, nobody, false, true},
      {"another user's file in a private directory", searchable, nobody, me, false, true},
  };
  const std::string& zerosFile = expected::zeroFile;
  for (const auto& c : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("C"));
    fs::create_directory("shared");
    fs::permissions("shared", c.directoryMode);
    const char* const target = c.link ? "target.txt" : "shared/matrix.txt";
    writeFile(target, zerosFile);
    if (c.link) {
      fs::create_symlink("../target.txt", "shared/matrix.txt");
    }
    ASSERT_EQ(::lchown("shared/matrix.txt", c.owner, c.owner), 0) << c.name;
    ASSERT_EQ(::chown("shared", c.directoryOwner, c.directoryOwner), 0) << c.name;
    fs::current_path("shared");
    A = counting;
    saveMatrixToFile();
    A = untouched;
    loadMatrixFromFile();
    fs::current_path("..");
    const bool loads = c.followed || !c.link;
    EXPECT_EQ(term.output(),
              (c.followed ? saved : openForWriting) + (loads ? loaded : openForReading))
        << c.name;
    EXPECT_EQ(A, c.followed ? counting : loads ? Matrix{} : untouched) << c.name;
    EXPECT_EQ(readFile(target), c.followed ? countingFile : zerosFile) << c.name;
  }
}

}  // namespace
