#include "matrix_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "gtest/gtest.h"
#include "matrix_state.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::InTempDirectory;
using testing_support::listDirectory;
using testing_support::MemoryConsole;
using testing_support::namedLocale;
using testing_support::readFile;
using testing_support::recode;
using testing_support::writeFile;

const std::string saved = "Матрица успешно сохранена в файл.\n";
const std::string loaded = "Матрица успешно загружена из файла.\n";
const std::string openForWriting = "Ошибка при открытии файла для записи.\n";
const std::string openForReading = "Ошибка при открытии файла для чтения.\n";
const std::string writeError = "Ошибка при записи в файл.\n";
const std::string readError = "Ошибка при чтении файла: матрица не изменена.\n";

const Matrix sample = {{{1234, -5, 0, 0, 7},
                        {1, 2, 3, 4, 5},
                        {6, 7, 8, 9, 10},
                        {11, 12, 13, 2147483647, -2147483647 - 1}}};
const Matrix counting = {
    {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, {11, 12, 13, 14, 15}, {16, 17, 18, 19, 20}}};

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
    const std::string charset =
        std::string(c.locale).starts_with("ru_RU.") ? std::string(c.locale).substr(6) : "UTF-8";
    EXPECT_EQ(term.output(), recode(saved, charset.c_str())) << c.locale;
    EXPECT_EQ(listDirectory("."), std::vector<std::string>{"matrix.txt"}) << c.locale;

    // and back under the same locale
    A = {};
    B = {1, 0, 1, 0};
    loadMatrixFromFile();
    EXPECT_EQ(A, sample) << c.locale;
    EXPECT_EQ(B, (std::array<std::int32_t, 4>{1, 0, 1, 0})) << c.locale;
  }
}

struct LoadCase {
  const char* name;
  std::string content;
};

TEST(LoadMatrixFromFile, AcceptsAnyWhiteSpaceLayoutAndIgnoresWhatFollows) {
  const LoadCase cases[] = {
      {"one line", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"},
      {"one per line", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n16\n17\n18\n19\n20\n"},
      {"tabs and CR LF", "\t1 2 3 4 5\r\n6 7 8 9 10\r\n11 12 13 14 15\r\n16 17 18 19 20\r\n"},
      {"text after the 20th", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 abc\n"},
      {"invalid byte right after the 20th",
       "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\xFF"},
      {"leading zeros and plus", "+1 02 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 0020"},
  };
  for (const auto& c : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
    writeFile("matrix.txt", c.content);
    loadMatrixFromFile();
    EXPECT_EQ(A, counting) << c.name;
    EXPECT_EQ(term.output(), loaded) << c.name;
  }
}

TEST(LoadMatrixFromFile, LeavesTheMatrixAsItWasUnlessAll20ValuesRead) {
  const std::string nineteen = "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19";
  const LoadCase cases[] = {
      {"empty file", ""},
      {"nineteen values", nineteen + "\n"},
      {"a word instead of the 20th", nineteen + " twenty\n"},
      {"a word in the middle", "1 2 x 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n"},
      {"past 32 bits", nineteen + " 2147483648\n"},
      {"below 32 bits", "-2147483649 " + nineteen + "\n"},
      {"invalid byte in the middle", "1 2 \xFF 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n"},
      {"invalid byte where the 20th should be", nineteen + " \xFF"},
      {"byte-order mark",
       "\xEF\xBB\xBF"
       "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n"},
      {"nul byte", std::string("1 2 3\0 4", 8)},
      {"sign alone at the end", nineteen + " -"},
  };
  for (const auto& c : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
    A = sample;
    writeFile("matrix.txt", c.content);
    loadMatrixFromFile();
    EXPECT_EQ(A, sample) << c.name;
    EXPECT_EQ(term.output(), readError) << c.name;
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

TEST(SaveMatrixToFile, ADirectoryInTheWayIsAnOpenErrorAndLeavesNothingBehind) {
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
  fs::create_directory("matrix.txt");
  writeFile("matrix.txt/keep", "x");
  saveMatrixToFile();
  EXPECT_EQ(term.output(), openForWriting);
  EXPECT_EQ(listDirectory("."), std::vector<std::string>{"matrix.txt"});
  EXPECT_EQ(listDirectory("matrix.txt"), std::vector<std::string>{"keep"});
}

TEST(SaveMatrixToFile, AReadOnlyFileIsNotReplaced) {
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
  writeFile("matrix.txt", "old");
  fs::permissions("matrix.txt", fs::perms::owner_read | fs::perms::group_read);
  A = sample;
  saveMatrixToFile();
  EXPECT_EQ(term.output(), openForWriting);
  EXPECT_EQ(readFile("matrix.txt"), "old");
  EXPECT_EQ(listDirectory("."), std::vector<std::string>{"matrix.txt"});
}

TEST(SaveMatrixToFile, KeepsPermissionBitsAndSymbolicLinks) {
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("C"));
  fs::create_directory("data");
  writeFile("data/real.txt", "old");
  fs::permissions("data/real.txt",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("data/real.txt", "matrix.txt");
  A = counting;
  saveMatrixToFile();
  EXPECT_EQ(term.output(), saved);
  EXPECT_TRUE(fs::is_symlink("matrix.txt"));
  EXPECT_EQ(readFile("data/real.txt"),
            "1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 20 \n");
  EXPECT_EQ(fs::status("data/real.txt").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(listDirectory("data"), std::vector<std::string>{"real.txt"});
}

TEST(SaveMatrixToFile, ADanglingLinkGetsItsTargetCreated) {
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("C"));
  fs::create_symlink("elsewhere.txt", "matrix.txt");
  A = counting;
  saveMatrixToFile();
  EXPECT_EQ(term.output(), saved);
  EXPECT_TRUE(fs::is_symlink("matrix.txt"));
  EXPECT_EQ(readFile("elsewhere.txt"),
            "1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 20 \n");
}

TEST(SaveMatrixToFile, WhatElseTheDirectoryHoldsChangesNothing) {
  const InTempDirectory dir;
  MemoryConsole term("", namedLocale("C"));
  std::vector<std::string> others;
  for (int n = 0; n < 100; ++n) {  // the names of earlier temporary files, left by a crash
    others.push_back(".matrix.txt.tmp" + std::to_string(n));
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
  EXPECT_EQ(readFile(longName), "1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 20 \n");
  EXPECT_EQ(readFile(".matrix.txt.tmp0"), "stale");
  EXPECT_EQ(listDirectory("."), others);
}

struct LinkCase {
  const char* name;
  bool shared;  // the directory is sticky and world-writable, as /tmp is
  uid_t linkOwner;
  uid_t directoryOwner;
  bool followed;
};

// In a directory that others may write to, a link is followed only where the kernel's
// protected_symlinks rule would follow it, whatever the system's setting.
TEST(MatrixFile, FollowsALinkInASharedDirectoryOnlyIfItsOwnerIsTrusted) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "links of another user need root to make";
  }
  constexpr uid_t me = 0;
  constexpr uid_t nobody = 65534;
  const LinkCase cases[] = {
      {"own link in a shared directory", true, me, me, true},
      {"another user's link in a shared directory", true, nobody, me, false},
      {"the directory owner's link", true, nobody, nobody, true},
      {"another user's link in a private directory", false, nobody, me, true},
  };
  for (const auto& c : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("C"));
    writeFile("target.txt", "old");
    fs::create_directory("shared");
    fs::permissions("shared", c.shared ? fs::perms::all | fs::perms::sticky_bit
                                       : fs::perms::owner_all | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read |
                                             fs::perms::others_exec);
    fs::create_symlink("../target.txt", "shared/matrix.txt");
    ASSERT_EQ(::lchown("shared/matrix.txt", c.linkOwner, c.linkOwner), 0);
    ASSERT_EQ(::chown("shared", c.directoryOwner, c.directoryOwner), 0);
    fs::current_path("shared");
    A = counting;
    saveMatrixToFile();
    A = sample;
    loadMatrixFromFile();
    fs::current_path("..");
    EXPECT_EQ(term.output(), c.followed ? saved + loaded : openForWriting + openForReading)
        << c.name;
    EXPECT_EQ(A, c.followed ? counting : sample) << c.name;
    EXPECT_EQ(readFile("target.txt") == "old", !c.followed) << c.name;
  }
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
