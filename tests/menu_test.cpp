// End-to-end transcripts: the built program run through pipes, output compared byte for byte.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "test_support.h"
#include "transcripts.h"

namespace {

using testing_support::environmentWith;
using testing_support::invalidChoice;
using testing_support::invalidValue;
using testing_support::prompt;
using testing_support::recode;
using testing_support::runProgram;
using transcripts::allPrompts;
using transcripts::chosen;
using transcripts::expectTranscripts;
using transcripts::Locale;
using transcripts::menu;
using transcripts::table;
using transcripts::times;
using transcripts::zeroMatrix;
using transcripts::zeros;

const Locale utf8{"ru_RU.UTF-8", {"LC_ALL=ru_RU.UTF-8"}, "UTF-8"};
const Locale cp1251{"ru_RU.CP1251", {"LC_ALL=ru_RU.CP1251"}, "CP1251"};
const Locale koi8{"ru_RU.KOI8-R", {"LANG=ru_RU.KOI8-R"}, "KOI8-R"};
const Locale plainC{"LANG=C", {"LANG=C"}, "UTF-8"};
const Locale latin1{"en_US.ISO-8859-1", {"LC_ALL=en_US.ISO-8859-1"}, "UTF-8"};

TEST(MenuLoop, ShowsTheMatrixAndRejectsInvalidChoices) {
  expectTranscripts(transcripts::choices(), {utf8, cp1251, koi8, plainC, latin1});
}

TEST(MenuLoop, EntryThenDisplay) {
  // The digit-group separator that each console can show.
  expectTranscripts(transcripts::entryAndDisplay("\u202F"), {utf8});
  expectTranscripts(transcripts::entryAndDisplay("\u00A0"), {cp1251, koi8});
}

TEST(MenuLoop, RowCheckSortingAndVectorB) {
  expectTranscripts(transcripts::rowCheckAndSorting(), {utf8, cp1251, koi8, plainC});
}

TEST(MenuLoop, EndOfInputEndsTheProgramQuietly) {
  expectTranscripts(transcripts::endOfInput(), {utf8, cp1251});
}

TEST(MenuLoop, WhatTheElementReadLeavesGoesToTheMenu) {
  // 5 fills the last cell; the menu read then meets the letter д.
  const std::string input = "1\n" + times("0\n", 19) + "5д\n2\n9\n";
  const std::string expected = chosen + allPrompts() + chosen + std::string(invalidChoice) +
                               chosen + zeroMatrix.substr(0, zeroMatrix.size() - zeros.size()) +
                               "    0    0    0    0    5\n" + chosen;
  for (const auto& locale : {utf8, cp1251, koi8}) {
    const std::string encoded = recode(input, locale.charset);
    const auto outcome = runProgram(encoded, environmentWith(locale.environment));
    EXPECT_EQ(outcome.out, recode(expected, locale.charset)) << locale.name;
  }
}

TEST(MenuLoop, ALocaleThatIsNotInstalledFallsBackToUtf8WithOneWarning) {
  struct Case {
    std::vector<std::string> environment;
    std::string named;  // what the warning names, and how to install it
  };
  // An installed locale that cannot be loaded, as when memory is short: a damaged copy.
  const testing_support::TempDir damaged;
  std::filesystem::copy(std::string(LOCALE_DIR) + "/ru_RU.UTF-8", damaged.path() / "ru_RU.UTF-8");
  std::filesystem::resize_file(damaged.path() / "ru_RU.UTF-8" / "LC_COLLATE", 0);
  const Case cases[] = {
      {{"LOCPATH=" + damaged.path().string(), "LANG=ru_RU.UTF-8"},
       "«ru_RU.UTF-8» (LANG) установлена, но загрузить её не удалось"},
      {{"LANG=xx_YY.UTF-8"}, "«xx_YY.UTF-8» (LANG)"},
      {{"LC_ALL=ru_RU.NOPE"}, "«ru_RU.NOPE» (LC_ALL)"},
      {{"LANG=ru_RU.UTF-8", "LC_NUMERIC=xx_YY"}, "«xx_YY» (LC_NUMERIC)"},
      {{"LANG=ru_RU.UTF-8", "LC_TIME=de_DE.utf8"}, "localedef -i de_DE -f UTF-8 de_DE.utf8"},
  };
  for (const auto& c : cases) {
    const auto outcome = runProgram("1 1 1234 0 0 0\n" + times("0 ", 15) + "\n2\n9\n",
                                    environmentWith(c.environment));
    EXPECT_EQ(outcome.status, 0) << c.named;
    EXPECT_NE(outcome.out.find("    1 1234    0    0    0\n"), std::string::npos) << c.named;
    EXPECT_TRUE(outcome.out.starts_with(menu)) << c.named;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << c.named;
    EXPECT_NE(outcome.err.find(c.named), std::string::npos) << outcome.err;
  }
}

TEST(MenuLoop, HugeLinesAreRejectedLikeAnyOther) {
  const std::size_t megabytes = 30;
  const std::string junk(megabytes << 20, 'x');
  const std::string digits(megabytes << 20, '7');
  const auto atMenu =
      runProgram(junk + "\n" + digits + "\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}));
  EXPECT_EQ(atMenu.out, times(chosen + std::string(invalidChoice), 2) + chosen);
  const auto atElement =
      runProgram("1\n" + junk + "\n" + digits + "\n", environmentWith({"LC_ALL=ru_RU.CP1251"}));
  EXPECT_EQ(atElement.out, recode(chosen + times(prompt(0, 0) + std::string(invalidValue), 2) +
                                      prompt(0, 0) + "\n",
                                  "CP1251"));
  EXPECT_EQ(atElement.status, 0);
}

// libstdc++'s own reader keeps a byte for each digit group: a line of five million groups
// would cost megabytes. The zeros read as one valid number, 0, whatever their count.
TEST(MenuLoop, ALongGroupedNumberTakesNoMoreMemoryThanAShortOne) {
  long peak[2] = {};
  const std::string lines[2] = {"1\n0\n", "1\n0" + times("\u202F000", 5'000'000) + "\n"};
  for (int k = 0; k < 2; ++k) {
    const testing_support::TempDir dir;
    testing_support::Dialogue session(testing_support::Dialogue::Channel::pipes,
                                      environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path());
    session.type(lines[k]);
    ASSERT_TRUE(session.waitFor(prompt(0, 1), std::chrono::seconds(60))) << session.transcript();
    peak[k] = session.peakKilobytes();
  }
  EXPECT_LT(peak[1] - peak[0], 1024) << peak[0] << " KiB for a short line";
}

}  // namespace

namespace {

using testing_support::listDirectory;
using testing_support::readFile;
using testing_support::Restrictions;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string counting = "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n";
const std::string countingFile = "1 2 3 4 5 \n6 7 8 9 10 \n11 12 13 14 15 \n16 17 18 19 20 \n";

TEST(MatrixFile, SaveThenLoadThroughTheMenu) {
  expectTranscripts(transcripts::saveAndLoad(), {utf8, cp1251, plainC});
}

TEST(MatrixFile, AFileThatDoesNotReadLeavesTheMatrix) {
  const TempDir dir;
  writeFile(dir.path() / "matrix.txt", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 \xFF");
  const auto outcome = runProgram("8\n2\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path());
  EXPECT_EQ(outcome.out, chosen + "Ошибка при чтении файла: матрица не изменена.\n" + chosen +
                             zeroMatrix + chosen);
}

TEST(MatrixFile, AFailedWriteKeepsTheOldFile) {
  const TempDir dir;
  const std::string old = "old contents\n";
  writeFile(dir.path() / "matrix.txt", old);
  Restrictions limit;
  limit.fileSizeLimit = 20;
  const auto outcome = runProgram("1 " + counting + "7\n9\n",
                                  environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path(), limit);
  EXPECT_EQ(outcome.out, chosen + allPrompts() + chosen + "Ошибка при записи в файл.\n" + chosen);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(readFile(dir.path() / "matrix.txt"), old);
  EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"matrix.txt"});
}

// Ctrl-C, kill, a closed terminal or any other signal that ends the program takes effect
// once a save is done: the directory then holds exactly one complete matrix.txt, the old one
// or the new one.
TEST(MatrixFile, SavesHitBySignalsLeaveOneCompleteFile) {
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1};
  const std::string old = times("0 0 0 0 0 \n", 4);
  const std::string script = "1 " + counting + times("7\n", 3000);
  std::random_device seed;
  const unsigned first = seed();
  std::minstd_rand random(first);
  Restrictions quiet;
  quiet.standardOutput = "/dev/null";
  for (int round = 0; round < 40; ++round) {
    const TempDir dir;
    writeFile(dir.path() / "matrix.txt", old);
    testing_support::Dialogue session(testing_support::Dialogue::Channel::pipes,
                                      environmentWith({"LC_ALL=C"}), dir.path(), quiet);
    session.type(script);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
    session.signal(signals[static_cast<std::size_t>(round) % std::size(signals)]);
    session.exitStatus();
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"matrix.txt"})
        << "round " << round << ", seed " << first;
    const std::string content = readFile(dir.path() / "matrix.txt");
    EXPECT_TRUE(content == old || content == countingFile)
        << "round " << round << ", seed " << first << ": " << content;
  }
}

bool haveStrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// A signal that lands while the file is synced takes effect after the save, whichever signal
// it is: strace holds the fsync for a while, and the signal comes meanwhile.
TEST(MatrixFile, ASignalDuringASaveTakesEffectAfterIt) {
  if (!haveStrace()) {
    GTEST_SKIP() << "strace is not installed";
  }
  Restrictions slowSync;
  slowSync.tracer = {"strace",      "-o",          "/dev/null",
                     "-e",          "trace=fsync", "-e",
                     "signal=none", "-e",          "inject=fsync:delay_enter=700000:when=1"};
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM}) {
    const TempDir dir;
    writeFile(dir.path() / "matrix.txt", "old\n");
    testing_support::Dialogue session(testing_support::Dialogue::Channel::pipes,
                                      environmentWith({"LC_ALL=C"}), dir.path(), slowSync);
    session.type("1 " + counting);
    ASSERT_TRUE(session.waitFor(prompt(3, 4) + menu)) << session.transcript();
    session.type("7\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    session.signal(signal);
    EXPECT_EQ(session.exitStatus(), 128 + signal) << strsignal(signal);
    EXPECT_EQ(readFile(dir.path() / "matrix.txt"), countingFile) << strsignal(signal);
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"matrix.txt"})
        << strsignal(signal);
  }
}

// A write by a user without CAP_FSETID clears the set-ID bits, so the mode comes last.
TEST(MatrixFile, AnOrdinaryUsersFileKeepsItsSetIdBits) {
  const TempDir dir;
  const auto file = dir.path() / "matrix.txt";
  writeFile(file, "old\n");
  Restrictions ordinary;
  ordinary.unprivileged = true;  // as root, run as nobody, whose the directory and file are
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(::chmod(file.c_str(), 06754), 0);
  const auto outcome = runProgram("7\n9\n", environmentWith({"LC_ALL=C"}), dir.path(), ordinary);
  EXPECT_EQ(outcome.out, chosen + "Матрица успешно сохранена в файл.\n" + chosen);
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 06754u);
}

// The system calls of a save that succeeds, in order, from strace: the created file's mode,
// then each call on it ("write", "fsync", ...), the link that names it, the rename, and the
// fsync of the directory after it. What comes before or after (a sanitizer's own writes) is
// no part of it.
std::vector<std::string> saveCalls(const std::string& trace) {
  std::vector<std::string> calls;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const std::string name = line.substr(0, line.find('('));
    if (line.find(" = -1 ") != std::string::npos) {
      continue;
    }
    if (name == "openat" && (line.find("O_TMPFILE") != std::string::npos ||
                             line.find("O_CREAT") != std::string::npos)) {
      calls.push_back("create " + line.substr(line.rfind(", ") + 2, 4));
    } else if (!calls.empty() && ((name == "write" && !line.starts_with("write(1,") &&
                                   !line.starts_with("write(2,")) ||
                                  name == "fsync" || name == "fchown" || name == "fchmod" ||
                                  name == "linkat" || name.starts_with("rename"))) {
      calls.push_back(name);
      if (name == "fsync" && calls.size() > 1 && calls[calls.size() - 2].starts_with("rename")) {
        break;  // the directory's: the save is done
      }
    }
  }
  return calls;
}

// The new file is the user's alone while it exists, has no name where the system allows
// (a SIGKILL then leaves nothing), is synced before its rename, takes the old file's owner
// and mode only when complete, and the directory is synced after the rename.
TEST(MatrixFile, ASaveMakesAPrivateFileAndSyncsItBeforeTheRename) {
  if (!haveStrace()) {
    GTEST_SKIP() << "strace is not installed";
  }
  const TempDir traces;
  const std::string trace = (traces.path() / "trace").string();
  Restrictions traced;
  traced.tracer = {"strace",
                   "-o",
                   trace,
                   "-e",
                   "signal=none",
                   "-e",
                   "trace=openat,write,fsync,fchown,fchmod,linkat,rename,renameat,renameat2"};
  std::size_t unnamedCreate = 0;  // which openat makes the unnamed file
  for (const bool unnamed : {true, false}) {
    const TempDir dir;
    writeFile(dir.path() / "matrix.txt", "old\n");
    std::filesystem::permissions(dir.path() / "matrix.txt", std::filesystem::perms::owner_all);
    if (!unnamed) {  // as on a file system without O_TMPFILE
      traced.tracer.insert(traced.tracer.end(), {"-e", "inject=openat:error=EOPNOTSUPP:when=" +
                                                           std::to_string(unnamedCreate)});
    }
    const auto outcome =
        runProgram("1 " + counting + "7\n9\n", environmentWith({"LC_ALL=C"}), dir.path(), traced);
    EXPECT_EQ(readFile(dir.path() / "matrix.txt"), countingFile);
    const std::string calls = readFile(trace);
    if (unnamed) {
      std::istringstream lines(calls);
      std::size_t count = 0;
      for (std::string line; std::getline(lines, line) && unnamedCreate == 0;) {
        count += line.starts_with("openat(") ? 1 : 0;
        unnamedCreate = line.find("O_TMPFILE") != std::string::npos ? count : 0;
      }
      ASSERT_NE(unnamedCreate, 0u) << calls;
    }
    std::vector<std::string> expected = {"create 0600", "write",    "fsync", "fchown",
                                         "fchmod",      "renameat", "fsync"};
    if (unnamed) {
      expected.insert(expected.begin() + 5, "linkat");
    }
    EXPECT_EQ(saveCalls(calls), expected) << calls;
  }
}

TEST(MatrixFile, ADirectoryThatTakesNoNewFile) {
  namespace fs = std::filesystem;
  Restrictions unprivileged;
  unprivileged.unprivileged = true;
  for (const bool fileThere : {false, true}) {
    const TempDir dir;
    if (fileThere) {
      writeFile(dir.path() / "matrix.txt", "old\n");
      fs::permissions(dir.path() / "matrix.txt", fs::perms::all & ~fs::perms::others_exec &
                                                     ~fs::perms::group_exec &
                                                     ~fs::perms::owner_exec);
    }
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec |
                                    fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    const auto outcome = runProgram("1 " + counting + "7\n9\n", environmentWith({"LC_ALL=C"}),
                                    dir.path(), unprivileged);
    // Without a temporary file nothing is saved: writing in place could lose the old file.
    EXPECT_EQ(outcome.out,
              chosen + allPrompts() + chosen + "Ошибка при открытии файла для записи.\n" + chosen)
        << fileThere;
    EXPECT_EQ(listDirectory(dir.path()),
              fileThere ? std::vector<std::string>{"matrix.txt"} : std::vector<std::string>{});
    if (fileThere) {
      EXPECT_EQ(readFile(dir.path() / "matrix.txt"), "old\n");
    }
  }
}

}  // namespace

namespace {

struct DescriptorCase {
  const char* name;
  testing_support::Restrictions restrictions;
  int status;
  bool warned;  // one line on standard error
};

// Output that cannot be written is no reason to stop: the session runs to its end, saves
// included, and only the exit status and one line on standard error tell.
TEST(MenuLoop, StandardDescriptorsInAnyStateNeverStopTheSession) {
  const auto with = [](auto change) {
    testing_support::Restrictions restrictions;
    change(restrictions);
    return restrictions;
  };
  const DescriptorCase cases[] = {
      {"output on a full device", with([](auto& r) { r.standardOutput = "/dev/full"; }), 1, true},
      {"output closed at start", with([](auto& r) { r.standardOutput = ""; }), 1, true},
      {"output pipe with no reader", with([](auto& r) { r.readerGone = true; }), 1, true},
      {"output past the file-size limit", with([](auto& r) {
         r.standardOutput = "out.txt";
         r.fileSizeLimit = 1024;
       }),
       1, true},
      {"output closed, and no /dev/null", with([](auto& r) {
         r.standardOutput = "";
         r.noDevNull = true;
       }),
       1, true},
      {"input closed at start", with([](auto& r) { r.closedInput = true; }), 0, false},
      {"all as usual", {}, 0, false},
  };
  for (const auto& c : cases) {
    if (c.restrictions.noDevNull && ::geteuid() != 0) {
      std::cout << "skipped \"" << c.name << "\": an empty /dev needs root\n";
      continue;
    }
    const testing_support::TempDir dir;
    const auto outcome =
        runProgram("1 " + times("5 ", 20) + "\n7\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}),
                   dir.path(), c.restrictions);
    EXPECT_EQ(outcome.status, c.status) << c.name;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), c.warned ? 1 : 0)
        << c.name << ": " << outcome.err;
    // The save went ahead, and no console output landed in the file.
    const std::string saved = c.restrictions.closedInput ? "" : times(times("5 ", 5) + "\n", 4);
    EXPECT_EQ(testing_support::readFile(dir.path() / "matrix.txt"), saved) << c.name;
  }
}

TEST(MenuLoop, ANonBlockingOutputLosesNothing) {
  const testing_support::TempDir dir;
  testing_support::Restrictions nonBlocking;
  nonBlocking.nonBlockingOutput = true;
  testing_support::Dialogue dialogue(testing_support::Dialogue::Channel::pipes,
                                     environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path(),
                                     nonBlocking);
  dialogue.type(times("2\n", 2000) + "9\n");
  // Nobody reads meanwhile: the pipe fills, and the program's writes meet EAGAIN.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(dialogue.exitStatus(), 0);
  EXPECT_TRUE(dialogue.transcript() == times(chosen + zeroMatrix, 2000) + chosen);
}

TEST(MenuLoop, ANonBlockingInputIsWaitedFor) {
  const testing_support::TempDir dir;
  testing_support::Restrictions nonBlocking;
  nonBlocking.nonBlockingInput = true;
  testing_support::Dialogue dialogue(testing_support::Dialogue::Channel::pipes,
                                     environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path(),
                                     nonBlocking);
  ASSERT_TRUE(dialogue.waitFor(menu));
  dialogue.type("2\n");
  ASSERT_TRUE(dialogue.waitFor(zeroMatrix + menu)) << dialogue.transcript();
  dialogue.type("9\n");
  EXPECT_EQ(dialogue.exitStatus(), 0);
}

}  // namespace
