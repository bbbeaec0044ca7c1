// Saving and loading matrix.txt in a fresh working directory, over an in-memory console:
// the bytes each locale writes, all-or-nothing loads, files that cannot be opened or replaced,
// and what else the directory holds. Symbolic links have a file of their own.
#include "matrix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "expected.h"
#include "fake_console.h"
#include "gtest/gtest.h"
#include "matrix_state.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
// The documented texts and values, typed once in expected.h.
using namespace expected;  // NOLINT(google-build-using-namespace)
using testing_support::InTempDirectory;
using testing_support::listDirectory;
using testing_support::makeLayout;
using testing_support::MemoryConsole;
using testing_support::namedLocale;
using testing_support::readFile;
using testing_support::skips;
using testing_support::writeFile;

const Matrix sample = {{{1234, -5, 0, 0, 7},
                        {1, 2, 3, 4, 5},
                        {6, 7, 8, 9, 10},
                        {11, 12, 13, 2147483647, -2147483647 - 1}}};

std::string savedSample(const std::string& separator) {
  return "1" + separator + "234 -5 0 0 7 \n1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 2" + separator +
         "147" + separator + "483" + separator + "647 -2" + separator + "147" + separator + "483" +
         separator + "648 \n";
}

struct SaveCase {
  const char* locale;
  std::string bytes;
};

TEST(SaveMatrixToFile, WritesFourLinesOfSpaceTerminatedValuesInTheLocale) {
  SKIP_WITHOUT_GLIBC();
  const SaveCase cases[] = {
      {"ru_RU.UTF-8", savedSample("\xE2\x80\xAF")},
      {"ru_RU.CP1251", savedSample("\xA0")},
      {"ru_RU.KOI8-R", savedSample("\x9A")},
      {"C", savedSample("")},
      {"en_US.UTF-8", savedSample(",")},
  };
  for (const auto& c : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale(c.locale));
    A = sample;
    saveMatrixToFile();
    EXPECT_EQ(readFile("matrix.txt"), c.bytes) << c.locale;
    EXPECT_EQ(term.output(), recode(saved, expected::charsetOf(c.locale))) << c.locale;
    EXPECT_EQ(listDirectory("."), std::vector<std::string>{"matrix.txt"}) << c.locale;

    // and back under the same locale
    A = {};
    B = {1, 0, 1, 0};
    loadMatrixFromFile();
    EXPECT_EQ(A, sample) << c.locale;
    EXPECT_EQ(B, (std::array<std::int32_t, 4>{1, 0, 1, 0})) << c.locale;
  }
}

// A character whose bytes two reads share is read whole: a byte at a time, and where the
// loader's 4 KiB reads end.
TEST(LoadMatrix, ReadsCharactersSplitBetweenReads) {
  SKIP_WITHOUT_GLIBC();
  const struct {
    const char* name;
    std::string bytes;
    std::size_t piece;
    const Matrix* loaded;
  } cases[] = {
      {"a byte at a time", "\u2003" + savedSample("\u202F"), 1, &sample},
      {"a space at the 4 KiB boundary", std::string(4095, ' ') + "\u2003" + expected::countingInput,
       4096, &counting},
  };
  const console::Conventions utf8 = console::conventionsFor(namedLocale("ru_RU.UTF-8"));
  for (const auto& c : cases) {
    testing_support::ScriptSource file(c.bytes, {.pauses = false, .piece = c.piece});
    Matrix matrix{};
    EXPECT_TRUE(loadMatrix(file, utf8, matrix)) << c.name;
    EXPECT_EQ(matrix, *c.loaded) << c.name;
  }
}

TEST(LoadMatrixFromFile, ReportsAFileThatCannotBeOpened) {
  SKIP_WITHOUT_GLIBC();
  const std::pair<const char*, void (*)()> cases[] = {
      {"no file", [] {}},
      {"a directory", [] { fs::create_directory("matrix.txt"); }},
      {"a FIFO, which must not keep the load waiting", [] { ::mkfifo("matrix.txt", 0644); }},
      {"a link too many", [] { makeLayout("loop->matrix.txt matrix.txt->loop"); }}};
  for (const auto& [name, prepare] : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("ru_RU.CP1251"));
    prepare();
    A = sample;
    loadMatrixFromFile();
    EXPECT_EQ(A, sample) << name;
    EXPECT_EQ(term.output(), recode(openForReading, "CP1251")) << name;
  }
}

struct RefusedCase {
  const char* name;
  bool (*prepare)();  // makes matrix.txt; false where that cannot be done here
};

// What is not a regular file the user may write, or lies in a directory whose names cannot
// be removed, is not replaced: the open error, and everything stays as it was.
TEST(SaveMatrixToFile, NeverReplacesWhatItMayNot) {
  const RefusedCase cases[] = {
      {"a directory", [] { return makeLayout("matrix.txt/ matrix.txt/keep=old"), true; }},
      {"a file its owner may not write",
       [] {
         writeFile("matrix.txt", "old");
         fs::permissions("matrix.txt", fs::perms::owner_read | fs::perms::group_read);
         return true;
       }},
      {"a FIFO", [] { return ::mkfifo("matrix.txt", 0644) == 0; }},
      {"a link of /proc to a file that was deleted",
       [] {
         writeFile("gone.txt", "old");
         const int kept = ::open("gone.txt", O_RDONLY | O_CLOEXEC);  // open until the test ends
         fs::create_symlink("/proc/self/fd/" + std::to_string(kept), "matrix.txt");
         return fs::remove("gone.txt");
       }},
      {"an append-only directory",
       [] {
         writeFile("matrix.txt", "old");
         return std::system("chattr +a . 2>/dev/null") == 0;  // root, on a file system with flags
       }},
  };
  for (const auto& c : cases) {
    const InTempDirectory dir;
    if (skips(c.name, c.prepare() ? "" : "needs root and a file system with flags")) {
      continue;
    }
    MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
    const std::vector<std::string> before = listDirectory(".");
    A = sample;
    saveMatrixToFile();
    static_cast<void>(std::system("chattr -a . 2>/dev/null"));
    EXPECT_EQ(term.output(), openForWriting) << c.name;
    EXPECT_EQ(listDirectory("."), before) << c.name;
    EXPECT_FALSE(fs::is_regular_file("matrix.txt") && readFile("matrix.txt") != "old") << c.name;
  }
}

TEST(SaveMatrixToFile, WhatElseTheDirectoryHoldsChangesNothing) {
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("C"));
  // What an editor, a backup or a killed save may have left.
  std::vector<std::string> others = {".matrix-menu-", ".matrix.txt.swp", "matrix.txt~"};
  for (const auto& name : others) {
    writeFile(name, "stale");
  }
  // A target whose name leaves no room for a longer one beside it.
  const std::string longName(250, 'm');
  fs::create_symlink(longName, "matrix.txt");
  others.emplace_back("matrix.txt");
  others.push_back(longName);
  std::sort(others.begin(), others.end());
  A = counting;
  saveMatrixToFile();
  EXPECT_EQ(term.output(), saved);
  EXPECT_EQ(readFile(longName), countingFile);
  EXPECT_EQ(readFile(others[0]), "stale");
  EXPECT_EQ(listDirectory("."), others);
}

}  // namespace
