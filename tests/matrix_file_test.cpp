#include "matrix_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
      {"a character split by the 4 KiB read",
       std::string(4095, ' ') + "\u2003" + "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"},
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

struct LinkLayoutCase {
  const char* name;
  void (*prepare)();  // makes matrix.txt a link that leads somewhere
  const char* file;   // where the link leads; null where the kernel would refuse the path
};

// Save and load follow links as the kernel resolves a path: a target that ends in "/" names
// a directory, which a file is not, and a new file is not made there either.
TEST(MatrixFile, FollowsLinksAsTheKernelWould) {
  const LinkLayoutCase cases[] = {
      {"a dangling link gets its target made",
       [] { fs::create_symlink("elsewhere.txt", "matrix.txt"); }, "elsewhere.txt"},
      {"an absolute target",
       [] {
         writeFile("real.txt", "old");
         fs::create_symlink(fs::absolute("real.txt"), "matrix.txt");
       },
       "real.txt"},
      {"a chain of two links",
       [] {
         fs::create_directory("data");
         writeFile("data/real.txt", "old");
         fs::create_symlink("data/real.txt", "middle");
         fs::create_symlink("middle", "matrix.txt");
       },
       "data/real.txt"},
      {"a file's name with a slash after it",
       [] {
         writeFile("real.txt", "old");
         fs::create_symlink("real.txt/", "matrix.txt");
       },
       nullptr},
      {"a new name with a slash after it", [] { fs::create_symlink("new/", "matrix.txt"); },
       nullptr},
      {"a slash after a link to a file",
       [] {
         writeFile("real.txt", "old");
         fs::create_symlink("real.txt", "middle");
         fs::create_symlink("middle/.", "matrix.txt");
       },
       nullptr},
  };
  for (const auto& c : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("C"));
    c.prepare();
    const std::vector<std::string> before = listDirectory(".");
    A = counting;
    saveMatrixToFile();
    A = sample;
    loadMatrixFromFile();
    EXPECT_TRUE(fs::is_symlink("matrix.txt")) << c.name;
    if (c.file != nullptr) {
      EXPECT_EQ(term.output(), saved + loaded) << c.name;
      EXPECT_EQ(A, counting) << c.name;
      EXPECT_EQ(readFile(c.file), "1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 20 \n")
          << c.name;
    } else {
      EXPECT_EQ(term.output(), openForWriting + openForReading) << c.name;
      EXPECT_EQ(A, sample) << c.name;
      EXPECT_EQ(listDirectory("."), before) << c.name;
      EXPECT_FALSE(fs::exists("real.txt") && readFile("real.txt") != "old") << c.name;
    }
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
  EXPECT_EQ(readFile(longName), "1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 20 \n");
  EXPECT_EQ(readFile(".matrix-menu-0000000000000000"), "stale");
  EXPECT_EQ(listDirectory("."), others);
}

struct LinkCase {
  const char* name;
  fs::perms directoryMode;  // sticky and world-writable (as /tmp is) makes it shared
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
  constexpr fs::perms shared = fs::perms::all | fs::perms::sticky_bit;
  constexpr fs::perms searchable = fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec;
  const LinkCase cases[] = {
      {"own link in a shared directory", shared, me, me, true},
      {"another user's link in a shared directory", shared, nobody, me, false},
      {"the directory owner's link", shared, nobody, nobody, true},
      {"another user's link in a private directory", searchable, nobody, me, true},
      {"sticky, but only the group may write",
       searchable | fs::perms::group_write | fs::perms::sticky_bit, nobody, me, true},
      {"everybody may write, but not sticky", fs::perms::all, nobody, me, true},
  };
  for (const auto& c : cases) {
    const InTempDirectory dir;
    MemoryConsole term("", namedLocale("C"));
    writeFile("target.txt", "old");
    fs::create_directory("shared");
    fs::permissions("shared", c.directoryMode);
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

// A file's bytes handed out `piece` at a time, then the end of the file or a read error.
class PiecewiseFile final : public console::ByteSource {
 public:
  PiecewiseFile(std::string bytes, std::size_t piece, bool errorAtEnd)
      : bytes_(std::move(bytes)), piece_(piece), errorAtEnd_(errorAtEnd) {}
  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    if (pos_ == bytes_.size()) {
      return errorAtEnd_ ? console::readError : 0;
    }
    const std::size_t count = std::min({size, piece_, bytes_.size() - pos_});
    bytes_.copy(buffer, count, pos_);
    pos_ += count;
    return static_cast<std::ptrdiff_t>(count);
  }

 private:
  std::string bytes_;
  std::size_t piece_;
  bool errorAtEnd_;
  std::size_t pos_ = 0;
};

struct ReadCase {
  const char* name;
  std::string bytes;
  std::size_t piece;
  bool errorAtEnd;
  const Matrix* loaded;  // null: the load fails
};

TEST(LoadMatrix, OnlyTheRealEndOfTheFileEndsIt) {
  const std::string nineteen = "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 ";
  Matrix cut = counting;
  cut[3][4] = 2;
  const ReadCase cases[] = {
      {"a byte at a time, characters split everywhere", "\u2003" + savedSample("\u202F"), 1, false,
       &sample},
      {"the end of the file right after a digit", nineteen + "2", 4096, false, &cut},
      {"a read error right after a digit", nineteen + "2", 4096, true, nullptr},
      {"a read error never reached", nineteen + "20 ", 4096, true, &counting},
  };
  for (const auto& c : cases) {
    MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
    PiecewiseFile file(c.bytes, c.piece, c.errorAtEnd);
    Matrix matrix{};
    EXPECT_EQ(loadMatrix(file, matrix), c.loaded != nullptr) << c.name;
    if (c.loaded != nullptr) {
      EXPECT_EQ(matrix, *c.loaded) << c.name;
    }
  }
}

}  // namespace
