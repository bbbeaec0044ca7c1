// The built program's matrix file, end to end: saving and loading through the menu, failed
// writes and reads, signals during a save, and the system calls a save makes.
#include <sys/stat.h>
#include <sys/xattr.h>
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
// The tests' files, accounts and runs of the program.
using namespace testing_support;  // NOLINT(google-build-using-namespace)
using transcripts::linuxLocale;

TEST(ProgramFile, SaveThenLoadThroughTheMenu) {
  transcripts::expectTranscripts(
      transcripts::saveAndLoad(),
      {linuxLocale("ru_RU.UTF-8"), linuxLocale("ru_RU.CP1251"), linuxLocale("C", "LANG")});
}

TEST(ProgramFile, AFileThatDoesNotReadLeavesTheMatrix) {
  const TempDir dir;
  writeFile(dir.path() / "matrix.txt", countingBefore20th + "\xFF");
  const auto outcome = runProgram("8\n2\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path());
  EXPECT_EQ(outcome.out,
            menuThenChoice + expected::readFailed + menuThenChoice + zeroMatrix + menuThenChoice);
}

// Ctrl-C, kill, a closed terminal or any other signal that ends the program takes effect
// once a save is done: the directory then holds exactly one complete matrix.txt, the old one
// or the new one.
TEST(ProgramFile, SavesHitBySignalsLeaveOneCompleteFile) {
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1};
  const std::string& old = zeroFile;
  const std::string script = "1 " + countingInput + times("7\n", 3000);
  std::random_device seed;
  const unsigned first = seed();
  std::minstd_rand random(first);
  const Restrictions quiet{.standardOutput = "/dev/null"};
  for (int round = 0; round < 40; ++round) {
    const TempDir dir;
    writeFile(dir.path() / "matrix.txt", old);
    Dialogue session(Dialogue::Channel::pipes, environmentWith({"LC_ALL=C"}), dir.path(), quiet);
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

// That `dir` holds matrix.txt alone where it `existed` or was `saved`: the counting file or
// "old\n", carrying all it carried `before` (or a new file there would).
void expectLeft(const std::filesystem::path& dir, bool existed, bool saved, const Carried& before,
                const char* row) {
  const bool there = existed || saved;
  EXPECT_EQ(listDirectory(dir), std::vector<std::string>(there ? 1 : 0, "matrix.txt")) << row;
  if (there) {
    EXPECT_EQ(readFile(dir / "matrix.txt"), saved ? countingFile : "old\n") << row;
    EXPECT_TRUE(carriedBy(dir / "matrix.txt") == before) << row;
  }
}

// How a save leaves matrix.txt: as it was, replaced by a new file, or written in place.
enum class Saved { not_at_all, whole, inPlace };

struct SaveCase {
  const char* name;
  const std::string& message;
  Restrictions restrictions;  // unprivileged: as nobody, who owns the directory
  int fileMode;               // of matrix.txt, "old\n" before the save; 0 for none
  unsigned directoryMode;
  Saved saved;
  uid_t owner = nobody;  // of matrix.txt, for a run as nobody
  gid_t group = nobody;
  bool (*prepare)(const std::filesystem::path& file) = nullptr;  // false where it cannot be
};

// A save that cannot finish leaves the old file and nothing else. One that can replaces the
// file whole where the user could make it again, set-ID bits included (a write by a user
// without CAP_FSETID clears them, so the mode comes last), and writes into it otherwise: it
// carries all it did. A new file carries what any new file there does.
TEST(ProgramFile, ASaveReplacesTheFileWholeOrNotAtAll) {
  const auto appendOnly = [](const std::filesystem::path& file) {
    return std::system(("chattr +a " + file.parent_path().string() + " 2>/dev/null").c_str()) == 0;
  };
  using enum Saved;
  const Restrictions asNobody{.unprivileged = true};
  const Restrictions overLimitAsNobody{.fileSizeLimit = static_cast<long>(countingFile.size()) - 1,
                                       .unprivileged = true};
  const SaveCase cases[] = {
      {"a file-size limit", expected::writeError, {.fileSizeLimit = 20}, 0644, 0755, not_at_all},
      // Without a new file nothing is saved: writing in place could lose the old file.
      {"a directory that takes no new file", expected::openForWriting, asNobody, 0, 0555,
       not_at_all},
      {"... though the file could be written", expected::openForWriting, asNobody, 0666, 0555,
       not_at_all},
      {"an ordinary user's set-ID file", expected::saved, asNobody, 06754, 0755, whole},
      {"a new file", expected::saved, {}, 0, 0755, whole},
      {"a directory that may be written but not listed", expected::saved, asNobody, 0644, 0300,
       whole},
      {"... and is append-only", expected::openForWriting, asNobody, 0644, 0300, not_at_all, nobody,
       nobody, appendOnly},
      {"root's file, saved by a member of its group", expected::saved, asNobody, 0664, 0755,
       inPlace, 0, nobodysOtherGroup},
      {"a file in a group the user is not in", expected::saved, asNobody, 0606, 0755, inPlace,
       nobody, 0},
      {"... a byte over a file-size limit", expected::writeError, overLimitAsNobody, 0606, 0755,
       not_at_all, nobody, 0},
      {"root's file that one more user may write", expected::saved, asNobody, 0600, 0755, inPlace,
       0, 0,
       [](const std::filesystem::path& file) { return setAcl(file, "u:" + otherAccount + ":rw"); }},
      {"an attribute of a file its owner may only write", expected::saved, asNobody, 0200, 0755,
       inPlace, nobody, nobody,
       [](const std::filesystem::path& file) {
         return ::setxattr(file.c_str(), "user.origin", "kept", 4, 0) == 0;
       }},
  };
  const mode_t previousMask = ::umask(027);
  for (const auto& c : cases) {
    std::string why = cannotRun(c.restrictions);
    const bool root = ::geteuid() == 0;
    if (!root && (c.owner != nobody || c.group != nobody || c.prepare != nullptr)) {
      why = "needs root";
    }
    const TempDir dir;
    const auto file = dir.path() / "matrix.txt";
    if (c.fileMode != 0) {
      writeFile(file, "old\n");
    }
    if (why.empty() && root && c.restrictions.unprivileged) {  // nobody's directory
      ASSERT_EQ(::chown(dir.path().c_str(), nobody, nobody), 0) << c.name;
      static_cast<void>(::chown(file.c_str(), c.owner, c.group));
    }
    // After the chown, which clears the set-ID bits.
    ASSERT_TRUE(c.fileMode == 0 || ::chmod(file.c_str(), static_cast<mode_t>(c.fileMode)) == 0)
        << c.name;
    const Carried made = carriedByNewFile(dir.path());
    ASSERT_EQ(::chmod(dir.path().c_str(), c.directoryMode), 0) << c.name;
    if (why.empty() && c.prepare != nullptr && !c.prepare(file)) {
      why = "needs ACLs, attributes and inode flags here";
    }
    if (skips(c.name, why)) {
      continue;
    }
    const bool exists = c.fileMode != 0;
    const Carried before = exists ? carriedBy(file) : made;
    const ino_t inode = inodeOf(file);
    const auto outcome =
        runProgram(enterAndSave, environmentWith({"LC_ALL=C"}), dir.path(), c.restrictions);
    static_cast<void>(std::system(("chattr -a " + dir.path().string() + " 2>/dev/null").c_str()));
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(outcome.out, afterSave(c.message)) << c.name;
    EXPECT_EQ(outcome.status, 0) << c.name;
    expectLeft(dir.path(), exists, c.saved != not_at_all, before, c.name);
    EXPECT_TRUE(!exists || (inodeOf(file) == inode) == (c.saved != whole)) << c.name;
  }
  ::umask(previousMask);
}

// A signal that lands while the file is synced takes effect after the save, whichever signal
// it is: strace holds the fsync for a while, and the signal comes meanwhile.
TEST(ProgramFile, ASignalDuringASaveTakesEffectAfterIt) {
  if (!haveStrace()) {
    GTEST_SKIP() << "strace is not installed";
  }
  const Restrictions slowSync{
      .tracer = strace(
          "-o /dev/null -e trace=fsync -e signal=none -e inject=fsync:delay_enter=700000:when=1")};
  // 32 and 33: the real-time signals that glibc keeps for itself, and leaves out of what
  // its sigprocmask holds.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, 32, 33}) {
    const TempDir dir;
    writeFile(dir.path() / "matrix.txt", "old\n");
    Dialogue session(Dialogue::Channel::pipes, environmentWith({"LC_ALL=C"}), dir.path(), slowSync);
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

// The properties of a save that replaces a file whole (`replacing`) or makes it anew, in what
// strace shows of it: one new file, private where it has a name, written and given its
// access (where it has a name or replaces a file) before it is synced, and synced before it
// is renamed over the old file or put where none is without replacing one; after which the
// directory is synced. Empty when they hold.
std::string saveProperties(const std::string& trace, bool replacing) {
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
  const bool named = create->find("O_TMPFILE") == std::string::npos;
  if (named && create->find(", 0600) = ") == std::string::npos) {
    return "a named new file is not created private";
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
  const auto end = lines.cend();
  const auto sync = find("fsync(" + fd + ")", create, end);
  const auto write = find("write(" + fd + ",", create, sync, true);
  const auto access = std::min(find("fchmod(" + fd + ",", create, sync),
                               find("fsetxattr(" + fd + ",", create, sync));
  // A new file is placed by renameat2 or, where that is refused, a link named matrix.txt.
  const auto placed = replacing ? find("renameat(", sync, end)
                                : std::find_if(sync, end, [](const std::string& line) {
                                    return line.starts_with("renameat2(") ||
                                           line.ends_with("\"matrix.txt\", 0) = 0");
                                  });
  if (!replacing && placed != end && !placed->starts_with("linkat(") &&
      placed->find("RENAME_NOREPLACE") == std::string::npos) {
    return "a new file may replace a name made meanwhile";
  }
  const auto directorySync = find("fsync(", placed, end);
  if (write == sync || ((named || replacing) && !(write < access && access < sync)) ||
      !(sync < placed && placed < directorySync && directorySync < end)) {
    return "not written, given its access, synced, put in place and the directory synced, in order";
  }
  return "";
}

struct TracedSaveCase {
  const char* name;
  std::string options;  // more of strace's, split at spaces
  const char* shows;    // what the trace shows where the save takes the row's path
  const std::string& message;
  bool oldFile = true;  // matrix.txt holds "old\n" before the save
  std::string acl{};    // setfacl's entries for matrix.txt, or with "d:" for the directory
};

// A save watched and tampered with by strace: where it completes it keeps its promises on
// any path, and the file carries what it did or what a new file there does; where a step
// fails it says so, and leaves the old file, or none, and nothing else.
TEST(ProgramFile, ASaveIsPrivateSyncedAndWholeUnderStrace) {
  if (!haveStrace()) {
    GTEST_SKIP() << "strace is not installed";
  }
  // Where /proc cannot name an unnamed file, a named one is made from the start.
  const std::string noProc = "-e inject=readlinkat:error=ENOENT ";
  const std::string syncFails = "-e inject=fsync:error=EIO:when=1 ";
  const std::string defaultAcl = "d:u:" + otherAccount + ":rw,d:g::rwx,d:o::-";
  const TracedSaveCase cases[] = {
      {"an unnamed new file", "", "O_TMPFILE", expected::saved},
      {"a named new file", noProc, "O_CREAT|O_EXCL", expected::saved},
      {"an unnamed file that does not sync", syncFails, "O_TMPFILE", expected::writeError},
      {"a named file that does not sync", noProc + syncFails, "O_CREAT|O_EXCL",
       expected::writeError},
      {"a refused rename", noProc + "-e inject=renameat:error=EACCES", "renameat(",
       expected::openForWriting},
      {"a mode that cannot be given, so written in place", "-e inject=fchmod:error=EPERM",
       "ftruncate(", expected::saved},
      {"an ACL that cannot be given, so written in place", "-e inject=fsetxattr:error=EPERM",
       "ftruncate(", expected::saved, true, "u:" + otherAccount + ":r"},
      {"a new file under a default ACL", "", "O_TMPFILE", expected::saved, false, defaultAcl},
      {"a named new file under a default ACL", noProc, "O_CREAT|O_EXCL", expected::saved, false,
       defaultAcl},
      {"a named new file where there was none", noProc, "O_CREAT|O_EXCL", expected::saved, false},
      {"an old file without an ACL under a default ACL", "", "O_TMPFILE", expected::saved, true,
       defaultAcl},
      // The name is refused by renameat2 where the C library has it (glibc), else by linkat.
      {"a name made meanwhile",
       "-e inject=renameat2:error=EEXIST -e inject=linkat:error=EEXIST:when=2",
       "EEXIST (File exists) (INJECTED)", expected::openForWriting, false},
      {"no renameat2 here", "-e inject=renameat2:error=EINVAL", "\"matrix.txt\", 0) = 0",
       expected::saved, false},
      {"a file that could not be looked at",
       "-P matrix.txt -e inject=newfstatat:error=ENOMEM:when=2", "ENOMEM",
       expected::openForWriting},
      {"a file system without an unnamed file", "-P . -e inject=openat:error=EOPNOTSUPP:when=4",
       "O_TMPFILE, 0666) = -1 EOPNOTSUPP", expected::saved},
      {"a file system without extended attributes: replaced whole",
       "-e inject=flistxattr:error=EOPNOTSUPP", "renameat(", expected::saved},
      {"a temporary name taken when linked", "-e inject=linkat:error=EEXIST:when=1",
       "EEXIST (File exists) (INJECTED)", expected::saved},
      {"a temporary name taken when made", "-P . -e inject=openat:error=EEXIST:when=4..5",
       "O_EXCL|O_NOFOLLOW|O_CLOEXEC, 0600) = -1 EEXIST", expected::saved},
      {"a directory whose inode flags are not reported",
       "-e inject=statx:error=ENOSYS -e inject=ioctl:error=ENOTTY", "FS_IOC_GETFLAGS",
       expected::saved},
  };
  const TempDir traces;
  const std::string trace = (traces.path() / "trace").string();
  for (const auto& c : cases) {
    const TempDir dir;
    const auto file = dir.path() / "matrix.txt";
    if (c.oldFile) {
      writeFile(file, "old\n");
    }
    const bool acl = c.acl.empty() || setAcl(c.acl.starts_with("d:") ? dir.path() : file, c.acl);
    // The rows that count openat calls count glibc's: musl opens the first directory with open.
    const bool countsOpenat = c.options.find("inject=openat") != std::string::npos;
    if (skips(c.name, !acl ? "no ACLs on this file system" : countsOpenat ? withoutGlibc() : "")) {
      continue;
    }
    const Carried before = c.oldFile ? carriedBy(file) : carriedByNewFile(dir.path());
    const Restrictions traced{
        .tracer = strace(
            "-o " + trace + " -e signal=none -e trace=openat,write,fsync,fchmod,fsetxattr,linkat," +
            "renameat,renameat2,readlinkat,ftruncate,ioctl,statx,newfstatat,flistxattr " +
            c.options)};
    const auto outcome =
        runProgram(enterAndSave, environmentWith({"LC_ALL=C"}), dir.path(), traced);
    const bool completes = &c.message == &expected::saved;
    const std::string shown = readFile(trace);
    EXPECT_EQ(outcome.out, afterSave(c.message)) << c.name;
    EXPECT_NE(shown.find(c.shows), std::string::npos) << c.name << "\n" << shown;
    expectLeft(dir.path(), c.oldFile, completes, before, c.name);
    // Written in place, the file is synced after it is cut to its length; replaced whole, it
    // keeps the properties (-P leaves the calls on the new file's descriptor out of the trace).
    const std::size_t truncated = shown.find("ftruncate(");
    if (completes && truncated != std::string::npos) {
      EXPECT_NE(shown.find("fsync(", truncated), std::string::npos) << c.name;
    } else if (completes && c.options.find("-P") == std::string::npos) {
      EXPECT_EQ(saveProperties(shown, c.oldFile), "") << c.name << "\n" << shown;
    }
  }
}

}  // namespace
