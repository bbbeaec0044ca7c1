// Saving and loading matrix.txt in a fresh working directory, over an in-memory console:
// the bytes each locale writes, all-or-nothing loads, files that cannot be opened or replaced,
// and what else the directory holds. Symbolic links have a file of their own.
#include "matrix_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "expected.h"
#include "fake_console.h"
#include "gtest/gtest.h"
#include "matrix_state.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using expected::counting;
using expected::recode;
using testing_support::InTempDirectory;
using testing_support::listDirectory;
using testing_support::MemoryConsole;
using testing_support::namedLocale;
using testing_support::readFile;
using testing_support::writeFile;

using expected::countingFile;
using expected::loaded;
using expected::openForReading;
using expected::openForWriting;
using expected::readError;
using expected::saved;

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
  for (const auto& c : cases) {
    MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
    testing_support::ScriptSource file(c.bytes, {.pauses = false, .piece = c.piece});
    Matrix matrix{};
    EXPECT_TRUE(loadMatrix(file, matrix)) << c.name;
    EXPECT_EQ(matrix, *c.loaded) << c.name;
  }
}

TEST(LoadMatrixFromFile, ReportsAFileThatCannotBeOpened) {
  const std::pair<const char*, void (*)()> cases[] = {
      {"no file", [] {}},
      {"a directory", [] { fs::create_directory("matrix.txt"); }},
      {"a FIFO, which must not keep the load waiting", [] { ::mkfifo("matrix.txt", 0644); }},
      {"a link too many", [] {
         fs::create_symlink("matrix.txt", "loop");
         fs::create_symlink("loop", "matrix.txt");
       }}};
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

// A directory, or a file whose owner may not write it, is not replaced: the open error, and
// everything stays as it was.
TEST(SaveMatrixToFile, NeverReplacesADirectoryOrAReadOnlyFile) {
  for (const bool directory : {true, false}) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
    const char* const old = directory ? "matrix.txt/keep" : "matrix.txt";
    if (directory) {
      fs::create_directory("matrix.txt");
    }
    writeFile(old, "old");
    fs::permissions(old, fs::perms::owner_read | fs::perms::group_read);
    A = sample;
    saveMatrixToFile();
    EXPECT_EQ(term.output(), openForWriting) << directory;
    EXPECT_EQ(readFile(old), "old") << directory;
    EXPECT_EQ(listDirectory("."), std::vector<std::string>{"matrix.txt"}) << directory;
    EXPECT_TRUE(!directory || listDirectory("matrix.txt") == std::vector<std::string>{"keep"});
  }
}

TEST(SaveMatrixToFile, WhatElseTheDirectoryHoldsChangesNothing) {
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("C"));
  std::vector<std::string> others;
  for (unsigned n = 0; n < 100; ++n) {  // earlier temporary files, left by a SIGKILL
    char name[32];
    std::snprintf(name, sizeof name, ".matrix-menu-%016x", n);
    others.emplace_back(name);
    writeFile(others.back(), "stale");
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
  EXPECT_EQ(readFile(".matrix-menu-0000000000000000"), "stale");
  EXPECT_EQ(listDirectory("."), others);
}

TEST(SaveMatrixToFile, KeepsTheOwnerOfAnotherUsersFile) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can save another user's file";
  }
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("C"));
  writeFile("matrix.txt", "old");
  ASSERT_EQ(::chown("matrix.txt", 65534, 65534), 0);
  ASSERT_EQ(::chmod("matrix.txt", 0640), 0);
  saveMatrixToFile();
  struct stat status {};
  ASSERT_EQ(::stat("matrix.txt", &status), 0);
  EXPECT_EQ(term.output(), saved);
  EXPECT_EQ(status.st_uid, 65534u);
  EXPECT_EQ(status.st_gid, 65534u);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

}  // namespace
