// The built program's matrix file, end to end: saving and loading through the menu, failed
// writes and reads, signals during a save, and the system calls a save makes.
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
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
#include <memory>
#include <random>
#include <regex>
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

// What matrix.txt holds before a save, where it is there: longer than the matrix saved, so
// that a save in place must cut it.
const std::string oldText = "old " + std::string(100, '.') + "\n";

// ACL entries as setfacl takes them, for matrix.txt or, with "d:", for its directory.
const std::string oneMoreReader = "u:" + otherAccount + ":r";
const std::string oneMoreWriter = "u:" + otherAccount + ":rw";
const std::string defaultAclWithMask = "d:u:" + otherAccount + ":rw,d:g::rwx,d:o::-";
const std::string defaultAclWithoutMask = "d:u::rwx,d:g::rwx,d:o::r-x";

bool giveUserAttribute(const std::filesystem::path& file) {
  return ::setxattr(file.c_str(), "user.origin", "kept", 4, 0) == 0;
}

// A second name for matrix.txt, which a save must go on showing it under.
bool makeSecondName(const std::filesystem::path& file) {
  std::filesystem::create_hard_link(file, file.parent_path() / "other name");
  return true;
}

bool makeAppendOnly(const std::filesystem::path& file) {
  return std::system(("chattr +a " + file.parent_path().string() + " 2>/dev/null").c_str()) == 0;
}

// Once the save has looked at matrix.txt and closed it again, another file takes its name
// (with the same text and mode), while strace holds the open that would write it.
std::thread swapWhenExamined(const std::filesystem::path& dir) {
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(watch, dir.c_str(), IN_CLOSE_NOWRITE);
  return std::thread([watch, dir] {
    alignas(inotify_event) char events[4096];
    static_cast<void>(::read(watch, events, sizeof events));
    ::close(watch);
    writeFile(dir / "swapped", oldText);
    std::filesystem::permissions(dir / "swapped",
                                 std::filesystem::status(dir / "matrix.txt").permissions());
    std::filesystem::rename(dir / "swapped", dir / "matrix.txt");
  });
}

// Another program's lock on matrix.txt (a POSIX record lock here, which conflicts with the
// program's own), taken now and held for a while.
template <int milliseconds>
std::thread lockedFor(const std::filesystem::path& dir) {
  const int other = ::open((dir / "matrix.txt").c_str(), O_RDWR | O_CLOEXEC);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  EXPECT_EQ(::fcntl(other, F_SETLK, &whole), 0);
  return std::thread([other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    ::close(other);
  });
}

// Another copy of the program saving the zero matrix into matrix.txt, held by strace before
// it cuts the file to length.
std::thread zerosSavedMeanwhile(const std::filesystem::path& dir) {
  const auto other = std::make_shared<Dialogue>(
      Dialogue::Channel::pipes, environmentWith({"LC_ALL=C"}), dir,
      Restrictions{.tracer = strace("-o /dev/null -e trace=ftruncate -e signal=none "
                                    "-e inject=ftruncate:delay_enter=1000000")});
  other->type("1 " + times("0 ", 20) + "\n7\n9\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return std::thread([other] { other->exitStatus(); });
}

TEST(ProgramFile, SaveThenLoadThroughTheMenu) {
  transcripts::expectTranscripts(
      transcripts::saveAndLoad(),
      {linuxLocale("ru_RU.UTF-8"), linuxLocale("ru_RU.CP1251"), linuxLocale("C", "LANG")});
}

// A load reads the whole file or leaves the matrix: it waits while another program holds the
// file locked, but not for ever.
TEST(ProgramFile, AFileThatDoesNotReadLeavesTheMatrix) {
  const struct {
    const char* name;
    std::string file;
    std::thread (*meanwhile)(const std::filesystem::path& dir);
    std::string shown;
  } cases[] = {
      {"an invalid byte", countingBefore20th + "\xFF", nullptr,
       readFailed + menuThenChoice + zeroMatrix},
      {"locked for a while", countingFile, lockedFor<1000>,
       loaded + menuThenChoice + countingShown},
      {"locked for longer than a load waits", countingFile, lockedFor<6000>,
       readFailed + menuThenChoice + zeroMatrix},
  };
  for (const auto& c : cases) {
    const TempDir dir;
    writeFile(dir.path() / "matrix.txt", c.file);
    std::thread meanwhile = c.meanwhile != nullptr ? c.meanwhile(dir.path()) : std::thread();
    const auto outcome =
        runProgram("8\n2\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path());
    if (meanwhile.joinable()) {
      meanwhile.join();
    }
    EXPECT_EQ(outcome.out, menuThenChoice + c.shown + menuThenChoice) << c.name;
  }
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
// directory is synced, where it is `listable`. Empty when they hold.
std::string saveProperties(const std::string& trace, bool replacing, bool listable) {
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
  // A new file is placed by renameat2 or, where it has no name or that is refused, a link
  // named matrix.txt.
  const auto placed = replacing ? find("renameat(", sync, end)
                                : std::find_if(sync, end, [](const std::string& line) {
                                    return line.starts_with("renameat2(") ||
                                           (line.starts_with("linkat(") &&
                                            line.find("\"matrix.txt\"") != std::string::npos);
                                  });
  if (!replacing && placed != end && !placed->starts_with("linkat(") &&
      placed->find("RENAME_NOREPLACE") == std::string::npos) {
    return "a new file may replace a name made meanwhile";
  }
  const auto directorySync = find("fsync(", placed, end);
  const bool directorySynced = !listable || directorySync < end;
  if (write == sync || ((named || replacing) && !(write < access && access < sync)) ||
      !(sync < placed && placed < end && directorySynced)) {
    return "not written, given its access, synced, put in place and the directory synced, in order";
  }
  return "";
}

// How a save leaves matrix.txt: as it was, replaced by a new file, or written in place.
enum class Saved { not_at_all, whole, inPlace };

constexpr uid_t saver = static_cast<uid_t>(-1);  // as an owner: the user who saves

struct SaveCase {
  const char* name;
  const std::string& message;
  Saved saved;
  // Where `shows` is given, strace watches the save (with these options more, split at
  // spaces), and shows that pattern where the save takes the row's path.
  std::string strace = {};
  const char* shows = nullptr;
  int fileMode = 0644;  // of matrix.txt, which holds oldText before the save; 0 for none
  unsigned directoryMode = 0755;
  Restrictions restrictions = {};  // unprivileged: as nobody, who then owns the directory
  uid_t owner = saver;             // of matrix.txt
  gid_t group = saver;
  std::string acl = {};  // setfacl's entries for matrix.txt, or with "d:" for the directory
  // Prepares matrix.txt further (false where it cannot be done here), or works beside the save.
  bool (*prepare)(const std::filesystem::path& file) = nullptr;
  std::thread (*meanwhile)(const std::filesystem::path& dir) = nullptr;
};

// A save that cannot finish says so, and leaves the old file and nothing else. One that can
// replaces the file whole where the user could make it again and no other name shows it,
// taking all it carried (set-ID bits included: a write by a user without CAP_FSETID clears
// them, so the mode comes last), and writes into it otherwise, where the file keeps all it
// carried. A new file carries what any new file there does. Watched by strace, a save keeps
// its promises on any path: a new file private where it has a name, synced before it takes
// the name, never in the place of a name made meanwhile; a file written in place synced
// once it is cut to length.
TEST(ProgramFile, ASaveReplacesTheFileWholeOrNotAtAll) {
  using enum Saved;
  const Restrictions asTheUser{};
  const Restrictions asNobody{.unprivileged = true};
  const auto limitAsNobody = [](long over) {
    return Restrictions{.fileSizeLimit = static_cast<long>(countingFile.size()) + over,
                        .unprivileged = true};
  };
  // Where /proc cannot name an unnamed file, a named one is made from the start.
  const std::string noProc = "-e inject=readlinkat:error=ENOENT ";
  const std::string syncFails = "-e inject=fsync:error=EIO:when=1 ";
  const std::string cannotBeLookedAt = "-P matrix.txt -e inject=newfstatat:error=ENOMEM:when=2";
  const std::string noStatx = "-e inject=statx:error=EPERM";
  const SaveCase cases[] = {
      {"a file-size limit", writeError, not_at_all, "", nullptr, 0644, 0755, {.fileSizeLimit = 20}},
      // Without a new file nothing is saved: writing in place could lose the old file.
      {"a directory that takes no new file", openForWriting, not_at_all, "", nullptr, 0, 0555,
       asNobody},
      {"... though the file could be written", openForWriting, not_at_all, "", nullptr, 0666, 0555,
       asNobody},
      {"an ordinary user's set-ID file", saved, whole, "", nullptr, 06754, 0755, asNobody},
      {"a new file", saved, whole, "", nullptr, 0},
      {"a directory that may be written but not listed", saved, whole, "", nullptr, 0644, 0300,
       asNobody},
      {"... and is append-only", openForWriting, not_at_all, "", nullptr, 0644, 0300, asNobody,
       saver, saver, "", makeAppendOnly},
      // Where its flags cannot be learnt, nothing is named that could be left behind.
      {"... and its flags are not reported", saved, inPlace, noStatx, "statx.*EPERM", 0644, 0300,
       asNobody, saver, saver, "", makeAppendOnly},
      {"... and a new file is made there", saved, whole, noStatx, R"(linkat\(.*"matrix.txt")", 0,
       0300, asNobody, saver, saver, "", makeAppendOnly},
      {"... where no unnamed file can be made", openForWriting, not_at_all, noProc + noStatx,
       "statx.*EPERM", 0, 0300, asNobody, saver, saver, "", makeAppendOnly},
      {"root's file, saved by a member of its group", saved, inPlace, "", nullptr, 0664, 0755,
       asNobody, 0, nobodysOtherGroup},
      {"a set-user-ID file of a group its owner is not in", saved, inPlace, "", nullptr, 04606,
       0755, asNobody, saver, 0},
      {"... where no new file can be made", saved, inPlace, "", nullptr, 0606, 0555, asNobody,
       saver, 0},
      {"... a byte over a file-size limit", writeError, not_at_all, "", nullptr, 0606, 0755,
       limitAsNobody(-1), saver, 0},
      {"... just within a file-size limit", saved, inPlace, "", nullptr, 0606, 0755,
       limitAsNobody(0), saver, 0},
      {"root's file that one more user may write", saved, inPlace, "", nullptr, 0600, 0755,
       asNobody, 0, 0, oneMoreWriter},
      {"an attribute of a file its owner may only write", saved, inPlace, "", nullptr, 0200, 0755,
       asNobody, saver, saver, "", giveUserAttribute},
      {"another user's file, saved by root", saved, whole, "", nullptr, 0640, 0755, asTheUser,
       nobody, nobody},
      {"an ACL that lets one more user read", saved, whole, "", nullptr, 0600, 0755, asTheUser,
       saver, saver, oneMoreReader},
      {"an ACL that lets one more user write", saved, whole, "", nullptr, 0600, 0755, asTheUser,
       saver, saver, oneMoreWriter},
      {"a user attribute", saved, whole, "", nullptr, 0600, 0755, asTheUser, saver, saver, "",
       giveUserAttribute},
      {"a file with a second name", saved, inPlace, "", nullptr, 0644, 0755, asTheUser, saver,
       saver, "", makeSecondName},
      {"... and no room on the device", writeError, not_at_all, "-e inject=fallocate:error=ENOSPC",
       "fallocate.*ENOSPC", 0644, 0755, asTheUser, saver, saver, "", makeSecondName},
      {"... locked by another program for a while", saved, inPlace, "", "F_OFD_SETLK.*EAGAIN", 0644,
       0755, asTheUser, saver, saver, "", makeSecondName, lockedFor<1000>},
      {"... for longer than a save waits", openForWriting, not_at_all, "", "F_OFD_SETLK.*EAGAIN",
       0644, 0755, asTheUser, saver, saver, "", makeSecondName, lockedFor<6000>},
      {"... on a file system that takes no locks", saved, inPlace, "-e inject=fcntl:error=ENOLCK",
       "F_OFD_SETLK.*ENOLCK", 0644, 0755, asTheUser, saver, saver, "", makeSecondName},
      {"... and saved by another copy of the program meanwhile", saved, inPlace, "",
       "F_OFD_SETLK.*EAGAIN", 0644, 0755, asTheUser, saver, saver, "", makeSecondName,
       zerosSavedMeanwhile},
      {"... and another file put in its place meanwhile", openForWriting, not_at_all,
       "-P matrix.txt -e inject=openat:delay_enter=500000", "O_WRONLY", 0644, 0755, asTheUser,
       saver, saver, "", makeSecondName, swapWhenExamined},
      {"an unnamed new file", saved, whole, "", "O_TMPFILE", 0},
      {"a named new file", saved, whole, noProc, "O_CREAT\\|O_EXCL", 0},
      {"an unnamed file that does not sync", writeError, not_at_all, syncFails, "O_TMPFILE"},
      {"a named file that does not sync", writeError, not_at_all, noProc + syncFails,
       "O_CREAT\\|O_EXCL"},
      {"a refused rename", openForWriting, not_at_all, noProc + "-e inject=renameat:error=EACCES",
       "renameat\\(.*EACCES"},
      {"a mode that cannot be given, so written in place", saved, inPlace,
       "-e inject=fchmod:error=EPERM", "fchmod.*EPERM"},
      {"an ACL that cannot be given, so written in place", saved, inPlace,
       "-e inject=fsetxattr:error=EPERM", "fsetxattr.*EPERM", 0644, 0755, asTheUser, saver, saver,
       oneMoreReader},
      {"a new file under a default ACL", saved, whole, "", "O_TMPFILE", 0, 0755, asTheUser, saver,
       saver, defaultAclWithMask},
      {"a named new file under a default ACL", saved, whole, noProc, "O_CREAT", 0, 0755, asTheUser,
       saver, saver, defaultAclWithMask},
      {"... without a mask", saved, whole, noProc, "O_CREAT", 0, 0755, asTheUser, saver, saver,
       defaultAclWithoutMask},
      {"... in a directory that may not be listed", saved, whole, noProc, "O_CREAT", 0, 0300,
       asNobody, saver, saver, defaultAclWithMask},
      {"a named new file where there was none", saved, whole, noProc, "O_CREAT", 0},
      {"... on a file system without attributes", saved, whole,
       noProc + "-e inject=fgetxattr,getxattr:error=EOPNOTSUPP", "getxattr.*EOPNOTSUPP", 0},
      {"an old file without an ACL under a default ACL", saved, whole, "", "renameat\\(", 0644,
       0755, asTheUser, saver, saver, defaultAclWithMask},
      {"a name made meanwhile", openForWriting, not_at_all, "-e inject=linkat:error=EEXIST",
       R"(linkat\(.*"matrix.txt".*EEXIST)", 0},
      // Refused by renameat2 where the C library has it (glibc), else by linkat.
      {"a name made meanwhile, for a named file", openForWriting, not_at_all,
       noProc + "-e inject=renameat2,linkat:error=EEXIST",
       R"((renameat2|linkat)\(.*"matrix.txt".*EEXIST)", 0},
      {"no renameat2 here", saved, whole, noProc + "-e inject=renameat2:error=EINVAL",
       R"(linkat\(.*"matrix.txt", 0\) = 0)", 0},
      {"a file that could not be looked at", openForWriting, not_at_all, cannotBeLookedAt,
       "ENOMEM"},
      {"... and was not there", openForWriting, not_at_all, cannotBeLookedAt, "ENOMEM", 0},
      {"a file system without an unnamed file", saved, whole,
       "-P . -e inject=openat:error=EOPNOTSUPP:when=4", "O_TMPFILE.*EOPNOTSUPP"},
      {"a file system without extended attributes", saved, whole,
       "-e inject=flistxattr,fremovexattr:error=EOPNOTSUPP", "fremovexattr.*EOPNOTSUPP"},
      {"a temporary name taken when linked", saved, whole, "-e inject=linkat:error=EEXIST:when=1",
       "linkat.*EEXIST"},
      {"a temporary name taken when made", saved, whole,
       "-P . -e inject=openat:error=EEXIST:when=4..5", "O_EXCL.*EEXIST"},
      {"a directory whose inode flags are not reported", saved, whole,
       "-e inject=statx:error=ENOSYS -e inject=ioctl:error=ENOTTY", "FS_IOC_GETFLAGS"},
  };
  const TempDir traces;
  const std::string trace = (traces.path() / "trace").string();
  const bool root = ::geteuid() == 0;
  static_cast<void>(::chown(traces.path().c_str(), nobody, nobody));  // strace as nobody too
  const mode_t previousMask = ::umask(027);
  for (const auto& c : cases) {
    std::string why = cannotRun(c.restrictions);
    // Root alone makes files another's, directories append-only, and reads what its owner
    // may only write.
    if (!root && (c.owner != saver || c.group != saver || c.prepare == makeAppendOnly ||
                  (c.fileMode != 0 && (c.fileMode & 0400) == 0))) {
      why = "needs root";
    }
    if (why.empty() && c.shows != nullptr && !haveStrace()) {
      why = "strace is not installed";
    }
    // The rows that count openat calls count glibc's: musl opens the first directory with open.
    if (why.empty() && c.strace.find("inject=openat:error") != std::string::npos) {
      why = withoutGlibc();
    }
    const TempDir dir;
    const auto file = dir.path() / "matrix.txt";
    const bool exists = c.fileMode != 0;
    if (exists) {
      writeFile(file, oldText);
    }
    const uid_t user = c.restrictions.unprivileged ? nobody : ::geteuid();
    if (why.empty() && root) {
      ASSERT_EQ(::chown(dir.path().c_str(), user, user), 0) << c.name;
      static_cast<void>(::chown(file.c_str(), c.owner == saver ? user : c.owner,
                                c.group == saver ? user : c.group));
    }
    // After the chown, which clears the set-ID bits.
    ASSERT_TRUE(!exists || ::chmod(file.c_str(), static_cast<mode_t>(c.fileMode)) == 0) << c.name;
    if (why.empty() && !c.acl.empty() &&
        !setAcl(c.acl.starts_with("d:") ? dir.path() : file, c.acl)) {
      why = "no ACLs on this file system";
    }
    Carried made = carriedByNewFile(dir.path());
    if (root) {
      made.owner = made.group = user;
    }
    ASSERT_EQ(::chmod(dir.path().c_str(), c.directoryMode), 0) << c.name;
    if (why.empty() && c.prepare != nullptr && !c.prepare(file)) {
      why = "needs attributes and inode flags here";
    }
    if (skips(c.name, why)) {
      continue;
    }
    const Carried before = exists ? carriedBy(file) : made;
    const ino_t inode = inodeOf(file);
    Restrictions restrictions = c.restrictions;
    if (c.shows != nullptr) {
      restrictions.tracer = strace(
          "-o " + trace + " -e signal=none -e trace=openat,write,fsync,fchmod,fsetxattr,linkat," +
          "renameat,renameat2,readlinkat,ftruncate,fallocate,ioctl,statx,newfstatat,flistxattr," +
          "fcntl,fremovexattr,fgetxattr,getxattr " + c.strace);
    }
    std::thread meanwhile = c.meanwhile != nullptr ? c.meanwhile(dir.path()) : std::thread();
    const auto outcome =
        runProgram(enterAndSave, environmentWith({"LC_ALL=C"}), dir.path(), restrictions);
    if (meanwhile.joinable()) {
      meanwhile.join();
    }
    static_cast<void>(std::system(("chattr -a " + dir.path().string() + " 2>/dev/null").c_str()));
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(outcome.out, afterSave(c.message)) << c.name;
    EXPECT_EQ(outcome.status, 0) << c.name;
    const bool there = exists || c.saved != not_at_all;
    std::vector<std::string> names(there ? 1 : 0, "matrix.txt");
    if (c.prepare == makeSecondName) {
      names.emplace_back("other name");
      EXPECT_EQ(readFile(dir.path() / "other name"), c.saved == inPlace ? countingFile : oldText)
          << c.name;
    }
    EXPECT_EQ(listDirectory(dir.path()), names) << c.name;
    if (there) {
      EXPECT_EQ(readFile(file), c.saved != not_at_all ? countingFile : oldText) << c.name;
      EXPECT_TRUE(carriedBy(file) == before) << c.name;
    }
    if (exists && c.saved != not_at_all) {
      EXPECT_EQ(inodeOf(file) == inode, c.saved == inPlace) << c.name;
    }
    if (c.shows == nullptr) {
      continue;
    }
    const std::string shown = readFile(trace);
    EXPECT_TRUE(std::regex_search(shown, std::regex(c.shows))) << c.name << "\n" << shown;
    // Written in place, the file is synced after it is cut to its length (-P leaves the
    // calls on the new file's descriptor out of the trace).
    if (c.saved == inPlace) {
      EXPECT_NE(shown.find("fsync(", shown.find("ftruncate(")), std::string::npos) << c.name;
    } else if (c.saved == whole && !c.strace.starts_with("-P")) {
      const bool listable = !c.restrictions.unprivileged || (c.directoryMode & 0400) != 0;
      EXPECT_EQ(saveProperties(shown, exists, listable), "") << c.name << "\n" << shown;
    }
  }
  ::umask(previousMask);
}

// A load through a link to a terminal finds no file there, and never makes it the terminal
// of a program that has none (one started by setsid, as a service is): that terminal's
// closing does not hang the program up.
TEST(ProgramFile, ALoadNeverTakesATerminal) {
  int master = -1;
  int terminal = -1;
  char name[256];
  ASSERT_EQ(::openpty(&master, &terminal, name, nullptr, nullptr), 0);
  ::close(terminal);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);  // the program must not hold it open
  const TempDir dir;
  std::filesystem::create_symlink(name, dir.path() / "matrix.txt");
  Dialogue session(Dialogue::Channel::pipes, environmentWith({"LC_ALL=C"}), dir.path(),
                   {.newSession = true});
  session.type("8\n");
  ASSERT_TRUE(session.waitFor(openForReading + menu)) << session.transcript();
  ::close(master);
  session.type("9\n");
  EXPECT_EQ(session.exitStatus(), 0);
}

}  // namespace
