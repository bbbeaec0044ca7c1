// The built program's matrix file, end to end: saving and loading through the menu, failed
// writes and reads, signals during a save, and the system calls a save makes.
#include <sys/stat.h>
#include <unistd.h>

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
#include <vector>

#include "expected.h"
#include "gtest/gtest.h"
#include "program_runner.h"
#include "test_files.h"
#include "transcripts.h"

namespace {

using expected::allPrompts;
using expected::chosen;
using expected::menu;
using expected::prompt;
using expected::times;
using expected::zeroMatrix;
using testing_support::environmentWith;
using testing_support::listDirectory;
using testing_support::readFile;
using testing_support::Restrictions;
using testing_support::runProgram;
using testing_support::TempDir;
using testing_support::writeFile;
using transcripts::linuxLocale;

const std::string& counting = expected::countingInput;
using expected::countingFile;

TEST(ProgramFile, SaveThenLoadThroughTheMenu) {
  transcripts::expectTranscripts(
      transcripts::saveAndLoad(),
      {linuxLocale("ru_RU.UTF-8"), linuxLocale("ru_RU.CP1251"), linuxLocale("C", "LANG")});
}

TEST(ProgramFile, AFileThatDoesNotReadLeavesTheMatrix) {
  const TempDir dir;
  writeFile(dir.path() / "matrix.txt", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 \xFF");
  const auto outcome = runProgram("8\n2\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path());
  EXPECT_EQ(outcome.out, chosen + expected::readError + chosen + zeroMatrix + chosen);
}

// Ctrl-C, kill, a closed terminal or any other signal that ends the program takes effect
// once a save is done: the directory then holds exactly one complete matrix.txt, the old one
// or the new one.
TEST(ProgramFile, SavesHitBySignalsLeaveOneCompleteFile) {
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

struct SaveCase {
  const char* name;
  const std::string& message;
  Restrictions restrictions;  // unprivileged: as nobody, who owns the directory and file
  int fileMode;               // of matrix.txt, "old\n" before the save; 0 for none
  bool readOnlyDirectory;
  bool replaced;
};

// A save that cannot finish leaves the old file and nothing else; one that can keeps the
// file's mode, set-ID bits included (a write by a user without CAP_FSETID clears them, so
// the mode comes last).
TEST(ProgramFile, ASaveReplacesTheFileWholeOrNotAtAll) {
  const auto as = [](bool unprivileged, long fileSizeLimit) {
    Restrictions restrictions;
    restrictions.unprivileged = unprivileged;
    restrictions.fileSizeLimit = fileSizeLimit;
    return restrictions;
  };
  const SaveCase cases[] = {
      {"a file-size limit", expected::writeError, as(false, 20), 0644, false, false},
      // Without a new file nothing is saved: writing in place could lose the old file.
      {"a directory that takes no new file", expected::openForWriting, as(true, -1), 0, true,
       false},
      {"... though the file could be written", expected::openForWriting, as(true, -1), 0666, true,
       false},
      {"an ordinary user's set-ID file", expected::saved, as(true, -1), 06754, false, true},
  };
  for (const auto& c : cases) {
    if (const std::string why = testing_support::cannotRun(c.restrictions); !why.empty()) {
      std::cout << "skipped \"" << c.name << "\": " << why << "\n";
      continue;
    }
    const TempDir dir;
    const auto file = dir.path() / "matrix.txt";
    if (c.fileMode != 0) {
      writeFile(file, "old\n");
    }
    if (::geteuid() == 0 && c.restrictions.unprivileged) {  // nobody's directory and file
      ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
      static_cast<void>(::chown(file.c_str(), 65534, 65534));
    }
    // After the chown, which clears the set-ID bits.
    ASSERT_TRUE(c.fileMode == 0 || ::chmod(file.c_str(), static_cast<mode_t>(c.fileMode)) == 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), c.readOnlyDirectory ? 0555 : 0755), 0);
    const auto outcome = runProgram("1 " + counting + "7\n9\n", environmentWith({"LC_ALL=C"}),
                                    dir.path(), c.restrictions);
    EXPECT_EQ(outcome.out, chosen + allPrompts() + chosen + c.message + chosen) << c.name;
    EXPECT_EQ(outcome.status, 0) << c.name;
    EXPECT_EQ(listDirectory(dir.path()),
              c.fileMode != 0 ? std::vector<std::string>{"matrix.txt"} : std::vector<std::string>{})
        << c.name;
    struct stat status {};
    if (c.fileMode != 0) {
      ASSERT_EQ(::stat(file.c_str(), &status), 0) << c.name;
      EXPECT_EQ(readFile(file), c.replaced ? countingFile : "old\n") << c.name;
      EXPECT_EQ(status.st_mode & 07777, static_cast<unsigned>(c.fileMode)) << c.name;
    }
  }
}

bool haveStrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// A signal that lands while the file is synced takes effect after the save, whichever signal
// it is: strace holds the fsync for a while, and the signal comes meanwhile.
TEST(ProgramFile, ASignalDuringASaveTakesEffectAfterIt) {
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

// A save's system calls from strace, in order, those that fail left out: "create" with the
// new file's mode, then the names of the calls that sync it, give it owner and mode, name it,
// rename it and sync the directory.
std::vector<std::string> saveCalls(const std::string& trace) {
  std::vector<std::string> calls;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const bool creates =
        line.find("O_CREAT") != std::string::npos || line.find("O_TMPFILE") != std::string::npos;
    if (line.find('(') != std::string::npos && line.find(" = -1 ") == std::string::npos &&
        (creates || !line.starts_with("openat"))) {
      calls.push_back(creates ? "create " + line.substr(line.rfind(", ") + 2, 4)
                              : line.substr(0, line.find('(')));
    }
  }
  return calls;
}

// The new file is the user's alone while it exists, has no name where the system allows
// (a SIGKILL then leaves nothing), is synced before its rename, takes the old file's owner
// and mode only when complete, and the directory is synced after the rename.
TEST(ProgramFile, ASaveMakesAPrivateFileAndSyncsItBeforeTheRename) {
  if (!haveStrace()) {
    GTEST_SKIP() << "strace is not installed";
  }
  const TempDir traces;
  const std::string trace = (traces.path() / "trace").string();
  const std::vector<std::string> unnamed = {"create 0600", "fsync",    "fchown", "fchmod",
                                            "linkat",      "renameat", "fsync"};
  const std::vector<std::string> named = {"create 0600", "fsync", "fchown", "fchmod",
                                          "create 0600", "fsync", "fchown", "fchmod",
                                          "renameat",    "fsync"};
  // Where the unnamed file cannot be linked (no /proc), a named one is written instead.
  for (const bool linked : {true, false}) {
    const TempDir dir;
    writeFile(dir.path() / "matrix.txt", "old\n");
    std::filesystem::permissions(dir.path() / "matrix.txt", std::filesystem::perms::owner_all);
    Restrictions traced;
    traced.tracer = {"strace",
                     "-o",
                     trace,
                     "-e",
                     "signal=none",
                     "-e",
                     "trace=openat,fsync,fchown,fchmod,linkat,renameat"};
    if (!linked) {
      traced.tracer.insert(traced.tracer.end(), {"-e", "inject=linkat:error=ENOENT"});
    }
    runProgram("1 " + counting + "7\n9\n", environmentWith({"LC_ALL=C"}), dir.path(), traced);
    EXPECT_EQ(readFile(dir.path() / "matrix.txt"), countingFile);
    EXPECT_EQ(saveCalls(readFile(trace)), linked ? unnamed : named) << readFile(trace);
  }
}

}  // namespace
