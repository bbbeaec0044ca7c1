// The built program's matrix file, end to end: saving and loading through the menu, failed
// writes and reads, signals during a save, and the system calls a save makes.
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
#include <vector>

#include "expected.h"
#include "gtest/gtest.h"
#include "program_runner.h"
#include "test_files.h"
#include "transcripts.h"

namespace {

// The documented texts and values, typed once in expected.h.
using namespace expected;  // NOLINT(google-build-using-namespace)
using testing_support::environmentWith;
using testing_support::listDirectory;
using testing_support::readFile;
using testing_support::Restrictions;
using testing_support::runProgram;
using testing_support::TempDir;
using testing_support::writeFile;
using transcripts::linuxLocale;

TEST(ProgramFile, SaveThenLoadThroughTheMenu) {
  transcripts::expectTranscripts(
      transcripts::saveAndLoad(),
      {linuxLocale("ru_RU.UTF-8"), linuxLocale("ru_RU.CP1251"), linuxLocale("C", "LANG")});
}

TEST(ProgramFile, AFileThatDoesNotReadLeavesTheMatrix) {
  const TempDir dir;
  writeFile(dir.path() / "matrix.txt", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 \xFF");
  const auto outcome = runProgram("8\n2\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path());
  EXPECT_EQ(outcome.out,
            menuThenChoice + expected::readFailed + menuThenChoice + zeroMatrix + menuThenChoice);
}

// Ctrl-C, kill, a closed terminal or any other signal that ends the program takes effect
// once a save is done: the directory then holds exactly one complete matrix.txt, the old one
// or the new one.
TEST(ProgramFile, SavesHitBySignalsLeaveOneCompleteFile) {
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1};
  const std::string old = times("0 0 0 0 0 \n", 4);
  const std::string script = "1 " + countingInput + times("7\n", 3000);
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
  uid_t owner = nobody;  // of matrix.txt, for a run as nobody
  gid_t group = nobody;
  int modeAfter = -1;  // where it is not fileMode
};

// A save that cannot finish leaves the old file and nothing else; one that can keeps the
// file's mode, set-ID bits included (a write by a user without CAP_FSETID clears them, so
// the mode comes last), and its group where the user belongs to it. A new file's mode is
// what the umask leaves.
TEST(ProgramFile, ASaveReplacesTheFileWholeOrNotAtAll) {
  const auto restricted = [](bool unprivileged, long fileSizeLimit) {
    Restrictions restrictions;
    restrictions.unprivileged = unprivileged;
    restrictions.fileSizeLimit = fileSizeLimit;
    return restrictions;
  };
  constexpr mode_t umask = 027;
  const SaveCase cases[] = {
      {"a file-size limit", expected::writeError, restricted(false, 20), 0644, false, false},
      // Without a new file nothing is saved: writing in place could lose the old file.
      {"a directory that takes no new file", expected::openForWriting, restricted(true, -1), 0,
       true, false},
      {"... though the file could be written", expected::openForWriting, restricted(true, -1), 0666,
       true, false},
      {"an ordinary user's set-ID file", expected::saved, restricted(true, -1), 06754, false, true},
      {"a new file", expected::saved, restricted(false, -1), 0, false, true, nobody, nobody,
       0666 & ~umask},
      {"root's file, saved by a member of its group", expected::saved, restricted(true, -1), 0664,
       false, true, 0, nobodysOtherGroup},
      // The group's permissions go with the group: another group does not get them.
      {"a file in a group the user is not in", expected::saved, restricted(true, -1), 0664, false,
       true, nobody, 0, 0604},
  };
  const mode_t previousMask = ::umask(umask);
  for (const auto& c : cases) {
    std::string why = testing_support::cannotRun(c.restrictions);
    const bool root = ::geteuid() == 0;
    if (!root && (c.owner != nobody || c.group != nobody)) {
      why = "only root can give a file to another owner and group";
    }
    if (!why.empty()) {
      std::cout << "skipped \"" << c.name << "\": " << why << "\n";
      continue;
    }
    const TempDir dir;
    const auto file = dir.path() / "matrix.txt";
    if (c.fileMode != 0) {
      writeFile(file, "old\n");
    }
    if (root && c.restrictions.unprivileged) {  // nobody's directory and file
      ASSERT_EQ(::chown(dir.path().c_str(), nobody, nobody), 0) << c.name;
      static_cast<void>(::chown(file.c_str(), c.owner, c.group));
    }
    // After the chown, which clears the set-ID bits.
    ASSERT_TRUE(c.fileMode == 0 || ::chmod(file.c_str(), static_cast<mode_t>(c.fileMode)) == 0)
        << c.name;
    ASSERT_EQ(::chmod(dir.path().c_str(), c.readOnlyDirectory ? 0555 : 0755), 0) << c.name;
    const auto outcome = runProgram("1 " + countingInput + "7\n9\n", environmentWith({"LC_ALL=C"}),
                                    dir.path(), c.restrictions);
    EXPECT_EQ(outcome.out,
              menuThenChoice + allPrompts() + menuThenChoice + c.message + menuThenChoice)
        << c.name;
    EXPECT_EQ(outcome.status, 0) << c.name;
    const bool exists = c.fileMode != 0 || c.replaced;
    EXPECT_EQ(listDirectory(dir.path()),
              exists ? std::vector<std::string>{"matrix.txt"} : std::vector<std::string>{})
        << c.name;
    struct stat status {};
    if (exists) {
      ASSERT_EQ(::stat(file.c_str(), &status), 0) << c.name;
      EXPECT_EQ(readFile(file), c.replaced ? countingFile : "old\n") << c.name;
      EXPECT_EQ(status.st_mode & 07777,
                static_cast<unsigned>(c.modeAfter >= 0 ? c.modeAfter : c.fileMode))
          << c.name;
      EXPECT_TRUE(!root || !c.restrictions.unprivileged || c.group == 0 || status.st_gid == c.group)
          << c.name;
    }
  }
  ::umask(previousMask);
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
  // 32 and 33: the real-time signals that glibc keeps for itself, and leaves out of what
  // its sigprocmask holds.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, 32, 33}) {
    const TempDir dir;
    writeFile(dir.path() / "matrix.txt", "old\n");
    testing_support::Dialogue session(testing_support::Dialogue::Channel::pipes,
                                      environmentWith({"LC_ALL=C"}), dir.path(), slowSync);
    session.type("1 " + countingInput);
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

// The properties of a completed save in what strace shows of it: one new file, created
// private, written and given its mode before it is synced, and synced before it is renamed
// over the old one, after which the directory is synced. Empty when they hold.
std::string saveProperties(const std::string& trace) {
  std::vector<std::string> lines;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    if (line.find(" = -1 ") == std::string::npos) {  // failed calls did nothing
      lines.push_back(line);
    }
  }
  const auto created = [](const std::string& line) {
    return line.find("O_CREAT") != std::string::npos || line.find("O_TMPFILE") != std::string::npos;
  };
  if (std::count_if(lines.begin(), lines.end(), created) != 1) {
    return "not exactly one new file";
  }
  const auto create = std::find_if(lines.begin(), lines.end(), created);
  if (create->find(", 0600) = ") == std::string::npos) {
    return "the new file is not created private";
  }
  const std::string fd = create->substr(create->rfind(' ') + 1);
  // The first, or the last, of the calls that start so in [from, to).
  using Line = std::vector<std::string>::const_iterator;
  const auto find = [](const std::string& call, Line from, Line to, bool last = false) {
    const auto starts = [&call](const std::string& line) { return line.starts_with(call); };
    const auto found = last ? std::find_if(std::make_reverse_iterator(to),
                                           std::make_reverse_iterator(from), starts)
                                      .base() -
                                  1
                            : std::find_if(from, to, starts);
    return found < from ? to : found;
  };
  const auto end = lines.end();
  const auto sync = find("fsync(" + fd + ")", create, end);
  const auto write = find("write(" + fd + ",", create, sync, true);
  const auto mode = find("fchmod(" + fd + ",", create, sync);
  const auto rename = find("renameat(", sync, end);
  const auto directorySync = find("fsync(", rename, end);
  if (write == sync || !(write < mode && mode < sync && sync < rename && rename < directorySync &&
                         directorySync < end)) {
    return "not written, given its mode, synced, renamed and the directory synced, in order";
  }
  return "";
}

struct TracedSaveCase {
  const char* name;
  std::vector<std::string> injected;  // strace's inject= qualifiers
  bool withAcl;                       // the old file has one (u:nobody:r)
  const std::string& message;
};

// A save watched and tampered with by strace: where it completes it keeps its promises on
// any path; where a step fails it says so, and leaves the old file and nothing else.
TEST(ProgramFile, ASaveIsPrivateSyncedAndWholeUnderStrace) {
  if (!haveStrace()) {
    GTEST_SKIP() << "strace is not installed";
  }
  // Where /proc cannot name an unnamed file, a named one is made from the start.
  const std::string noProc = "inject=readlinkat:error=ENOENT";
  const std::string syncFails = "inject=fsync:error=EIO:when=1";
  const TracedSaveCase cases[] = {
      {"an unnamed new file", {}, false, expected::saved},
      {"a named new file", {noProc}, false, expected::saved},
      {"an unnamed file that does not sync", {syncFails}, false, expected::writeError},
      {"a named file that does not sync", {noProc, syncFails}, false, expected::writeError},
      {"a refused rename",
       {noProc, "inject=renameat:error=EACCES"},
       false,
       expected::openForWriting},
      {"a mode that cannot be given", {"inject=fchmod:error=EPERM"}, false, expected::writeError},
      {"an ACL that cannot be given", {"inject=fsetxattr:error=EPERM"}, true, expected::writeError},
  };
  const TempDir traces;
  const std::string trace = (traces.path() / "trace").string();
  for (const auto& c : cases) {
    const TempDir dir;
    const auto file = dir.path() / "matrix.txt";
    writeFile(file, "old\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    if (c.withAcl && !testing_support::setAcl(file, "u:nobody:r")) {
      std::cout << "skipped \"" << c.name << "\": no ACLs on this file system\n";
      continue;
    }
    Restrictions traced;
    traced.tracer = {"strace",
                     "-o",
                     trace,
                     "-e",
                     "signal=none",
                     "-e",
                     "trace=openat,write,fsync,fchmod,fsetxattr,linkat,renameat,readlinkat"};
    for (const std::string& injection : c.injected) {
      traced.tracer.insert(traced.tracer.end(), {"-e", injection});
    }
    const auto outcome = runProgram("1 " + countingInput + "7\n9\n", environmentWith({"LC_ALL=C"}),
                                    dir.path(), traced);
    const bool completes = &c.message == &expected::saved;
    EXPECT_EQ(outcome.out,
              menuThenChoice + allPrompts() + menuThenChoice + c.message + menuThenChoice)
        << c.name;
    EXPECT_EQ(readFile(file), completes ? countingFile : "old\n") << c.name;
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"matrix.txt"}) << c.name;
    if (completes) {
      EXPECT_EQ(saveProperties(readFile(trace)), "") << c.name << "\n" << readFile(trace);
    }
  }
}

}  // namespace
