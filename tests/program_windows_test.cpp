// The program for Windows, run under Wine through pipes: the transcript tables, with CR LF
// lines both ways and the texts in the ANSI code page, and the Windows side of the matrix
// file. Wine takes the Windows locale from the Unix one: ru_RU.UTF-8 gives ru-RU, code page
// 1251 and digits grouped with U+00A0; C.UTF-8 gives en-US, code page 1252, which has no
// Cyrillic (so the texts are UTF-8), and ",".
#include <sys/stat.h>
#include <sys/xattr.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <optional>
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
using transcripts::expectTranscripts;
using transcripts::Locale;

const Locale russian{"ru-RU under Wine", {"LC_ALL=ru_RU.UTF-8"}, "CP1251", MATRIX_MENU_WINDOWS_EXE};
const Locale english{"en-US under Wine", {"LC_ALL=C.UTF-8"}, "UTF-8", MATRIX_MENU_WINDOWS_EXE};

TEST(ProgramOnWindows, TheTranscriptTablesHoldWithCrLfAndTheAnsiCodePage) {
  expectTranscripts(transcripts::choices(), {russian, english});
  expectTranscripts(transcripts::entryAndDisplay("\u00A0"), {russian});
  expectTranscripts(transcripts::entryAndDisplay(","), {english});
  expectTranscripts(transcripts::rowCheckAndSorting(), {russian, english});
  expectTranscripts(transcripts::endOfInput(), {russian, english});
  expectTranscripts(transcripts::saveAndLoad(), {russian, english});
}

TEST(ProgramOnWindows, CtrlZEndsTheInputAndANoBreakSpaceIsNoWhiteSpace) {
  const std::string again = std::string(invalidValue) + prompt(0, 0);
  expectTranscripts(
      {
          {"Ctrl-Z at the menu: the 2 after it is never read", "2\n\0322\n",
           menuThenChoice + zeroMatrix + menuThenChoice},
          {"a lone CR is kept, only CR before LF dropped", "2\r9\n",
           menuThenChoice + zeroMatrix + menuThenChoice},
          {"a no-break space before a number", "1\n\2405\n",
           menuThenChoice + prompt(0, 0) + again + "\n"},
          {"grouped with the no-break space", "1 1\240234" + expected::times(" 0", 19) + "\n2\n9\n",
           menuThenChoice + allPrompts() + menuThenChoice + expected::original +
               "1\u00A0234    0    0    0    0\n" + times(zeros, 3) + menuThenChoice},
      },
      {russian});
}

struct FileCase {
  const char* name;
  const char* before;  // matrix.txt before the session; null for none
  bool readOnly;
  // matrix.txt a link to data/real.txt, which holds `before`; that directory beside it, or
  // on another volume (a file system of its own, /dev/shm)
  enum class Link { none, beside, otherVolume } link;
  std::string input;
  std::string output;                    // UTF-8, LF line ends
  const char* after;                     // matrix.txt after it
  std::vector<std::string> tracer = {};  // strace, failing a read
  bool hidden = false;                   // matrix.txt, or the file it leads to
};

// A tracer that runs the program while strace, attached to the Wine server of this prefix
// (which renames files for every Wine program), fails its renames as `inject` says: so
// ReplaceFileW fails as Windows' documentation says it may. Wine then leaves an empty
// temporary file of its own (rf*.tmp), which is removed. Where no rename failed, it says so
// after the program's output.
std::vector<std::string> serverRenamesFail(const std::string& inject) {
  return {"sh", "-c",
          "id=server-$(printf '%x-%x' $(stat -L -c '%d %i' \"$WINEPREFIX\")); "
          "for p in $(pgrep wineserver); do "
          "case $(readlink /proc/$p/cwd) in */$id) server=$p;; esac; done; trace=$(mktemp); "
          "strace -p \"$server\" -o $trace -e trace=rename -e inject=rename:" +
              inject +
              " & tracer=$!; sleep 1; \"$@\"; status=$?; kill $tracer; wait $tracer; "
              "grep -q INJECTED $trace || echo no rename failed; rm -f rf*.tmp $trace; "
              "exit $status",
          "sh"};
}

// Whether Wine shows `file` as hidden: it keeps DOS attributes in an extended attribute.
bool isHidden(const std::filesystem::path& file) {
  char value[32] = {};
  const ssize_t length = ::getxattr(file.c_str(), "user.DOSATTRIB", value, sizeof value - 1);
  return length > 0 && (std::stoul(value, nullptr, 16) & 2) != 0;
}

TEST(ProgramOnWindows, TheFileHasCrLfLinesAndLoadsEitherWay) {
  const std::string countingFileCrLf = crLf(expected::countingFile);
  const std::string ctrlZInFile = countingBefore20th + '\x1A' + "20\n";
  const std::string cutAt20th =
      std::string(4096 - countingBefore20th.size() - 1, ' ') + countingBefore20th + "20\r\n";
  const std::string longOld = "old " + std::string(100, '.') + "\r\n";
  const auto secondReadFails =
      strace("-f -o /dev/null -P matrix.txt -e inject=read:error=EIO:when=2");
  // Makes matrix.txt while strace holds the flush of the new file.
  const std::vector<std::string> nameMadeMeanwhile = {
      "sh", "-c",
      "(for i in $(seq 300); do ls .matrix-menu-* >/dev/null 2>&1 && break; sleep 0.01; done; "
      "printf made >matrix.txt) & exec strace -f -o /dev/null -e trace=fsync "
      "-e inject=fsync:delay_enter=1000000 \"$@\"",
      "sh"};
  const FileCase cases[] = {
      {"a save writes CR LF lines", nullptr, false, FileCase::Link::none, enterAndSave,
       afterSave(saved), countingFileCrLf.c_str()},
      {"an LF file loads", countingFile.c_str(), false, FileCase::Link::none, "8\n2\n9\n",
       menuThenChoice + loaded + menuThenChoice + countingShown + menuThenChoice,
       countingFile.c_str()},
      {"a CR LF file loads", countingFileCrLf.c_str(), false, FileCase::Link::none, "8\n2\n9\n",
       menuThenChoice + loaded + menuThenChoice + countingShown + menuThenChoice,
       countingFileCrLf.c_str()},
      {"Ctrl-Z in the file is an invalid byte", ctrlZInFile.c_str(), false, FileCase::Link::none,
       "8\n2\n9\n",
       menuThenChoice + expected::readFailed + menuThenChoice + zeroMatrix + menuThenChoice,
       nullptr},
      {"a read-only file is not replaced", "old\n", true, FileCase::Link::none, enterAndSave,
       afterSave(expected::openForWriting), "old\n"},
      {"a link stays, and its target is replaced", "old\n", false, FileCase::Link::beside,
       enterAndSave, afterSave(saved), countingFileCrLf.c_str()},
      {"a link to another volume: the new file is made beside the target", "old\n", false,
       FileCase::Link::otherVolume, enterAndSave, afterSave(saved), countingFileCrLf.c_str()},
      // The first read ends in the 20th value: what is read before the error must not load.
      {"a read error part-way", cutAt20th.c_str(), false, FileCase::Link::none, "8\n2\n9\n",
       menuThenChoice + expected::readFailed + menuThenChoice + zeroMatrix + menuThenChoice,
       nullptr, secondReadFails},
      // The old file gone from its name and the new one not yet in it: the new one takes it.
      {"a replacement left half-done", "old\n", false, FileCase::Link::none, enterAndSave,
       afterSave(saved), countingFileCrLf.c_str(), serverRenamesFail("error=EACCES:when=2")},
      // Written into the old file, cut to length, where it cannot be replaced.
      {"a file that cannot be replaced", longOld.c_str(), false, FileCase::Link::none, enterAndSave,
       afterSave(saved), countingFileCrLf.c_str(), serverRenamesFail("error=EACCES")},
      {"a hidden file stays hidden",
       "old\n",
       false,
       FileCase::Link::none,
       enterAndSave,
       afterSave(saved),
       countingFileCrLf.c_str(),
       {},
       true},
      {"a name made while the new file is flushed", nullptr, false, FileCase::Link::none,
       enterAndSave, afterSave(expected::openForWriting), "made", nameMadeMeanwhile},
  };
  Restrictions underWine{.windowsProgram = MATRIX_MENU_WINDOWS_EXE};
  for (const auto& c : cases) {
    const TempDir dir;
    underWine.tracer = c.tracer;
    if (skips(c.name, c.tracer.empty() || haveStrace() ? "" : "strace is not installed")) {
      continue;
    }
    const bool linked = c.link != FileCase::Link::none;
    std::optional<TempDir> volume;
    if (c.link == FileCase::Link::otherVolume) {
      struct stat here {};
      struct stat shm {};
      if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 ||
          here.st_dev == shm.st_dev) {
        skips(c.name, "no /dev/shm on a file system of its own");
        continue;
      }
      volume.emplace("/dev/shm");
    }
    const auto data = volume ? volume->path() : dir.path() / "data";
    const auto file = linked ? data / "real.txt" : dir.path() / "matrix.txt";
    if (linked) {
      std::filesystem::create_directories(data);
      std::filesystem::create_symlink(volume ? file : "data/real.txt", dir.path() / "matrix.txt");
    }
    if (c.before != nullptr) {
      writeFile(file, c.before);
    }
    if (c.readOnly) {
      std::filesystem::permissions(file, std::filesystem::perms::owner_read);
    }
    if (c.hidden && ::setxattr(file.c_str(), "user.DOSATTRIB", "0x2", 3, 0) != 0) {
      skips(c.name, "no extended attributes here, where Wine keeps its file attributes");
      continue;
    }
    const auto outcome = runProgram(crLf(c.input), windowsEnvironmentWith(russian.environment),
                                    dir.path(), underWine);
    EXPECT_EQ(outcome.out, crLf(recode(c.output, "CP1251"))) << c.name;
    EXPECT_EQ(readFile(file), c.after != nullptr ? c.after : c.before) << c.name;
    EXPECT_EQ(isHidden(file), c.hidden) << c.name;
    const std::vector<std::string> names = c.link == FileCase::Link::beside
                                               ? std::vector<std::string>{"data", "matrix.txt"}
                                               : std::vector<std::string>{"matrix.txt"};
    EXPECT_EQ(listDirectory(dir.path()), names) << c.name;
    if (linked) {
      EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "matrix.txt")) << c.name;
      EXPECT_EQ(listDirectory(data), std::vector<std::string>{"real.txt"}) << c.name;
    }
  }
}

// Wine turns SIGINT into the console control event CTRL_C_EVENT, as Ctrl-C at a console
// window is: one that lands during a save waits for it, and no save starts after it, so the
// directory then holds the new matrix.txt and no temporary file. strace holds each flush for
// a while: the event comes once the first save's temporary file is there, and a second save
// is already asked for.
TEST(ProgramOnWindows, CtrlCDuringASaveWaitsForIt) {
  if (!haveStrace()) {
    GTEST_SKIP() << "strace is not installed";
  }
  const Restrictions underWine{
      .tracer = strace("-f -o /dev/null -e inject=fsync:delay_enter=700000"),
      .windowsProgram = MATRIX_MENU_WINDOWS_EXE};
  const TempDir dir;
  writeFile(dir.path() / "matrix.txt", crLf(zeroFile));
  Dialogue session(Dialogue::Channel::pipes, windowsEnvironmentWith(english.environment),
                   dir.path(), underWine);
  ASSERT_TRUE(session.waitFor(crLf(menu))) << session.transcript();
  session.type(crLf("1 " + expected::countingInput + "7\n7\n"));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (listDirectory(dir.path()).size() < 2 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  session.signal(SIGINT);
  session.exitStatus();
  EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"matrix.txt"});
  EXPECT_EQ(readFile(dir.path() / "matrix.txt"), crLf(expected::countingFile));
}

// At a console the texts go out through WriteConsoleW and come in through ReadConsoleW, so
// they show right whatever the console's code page, and Ctrl-Z then Enter ends the input.
// Wine's console host on a terminal adds
// escape sequences and carriage returns: only the texts themselves are looked for.
TEST(ProgramOnWindows, AtAConsoleTheTextsShowInCyrillic) {
  const TempDir dir;
  const Restrictions underWine{.windowsProgram = MATRIX_MENU_WINDOWS_EXE};
  Dialogue session(Dialogue::Channel::terminal, windowsEnvironmentWith(russian.environment),
                   dir.path(), underWine);
  // Without a text's last character: the console host writes it apart, or a newline as CR LF.
  const auto shown = [](const std::string& text) { return text.substr(0, text.size() - 1); };
  ASSERT_TRUE(session.waitToSee(shown(menu.substr(menu.rfind('\n') + 1)))) << session.transcript();
  session.type("1\r");
  ASSERT_TRUE(session.waitToSee(shown(prompt(0, 0)))) << session.transcript();
  session.type("1234" + std::string(19, ' ') + "\r");  // a value of four digits; the rest waits
  session.type("0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r2\r");
  ASSERT_TRUE(session.waitToSee(shown(expected::original))) << session.transcript();
  ASSERT_TRUE(session.waitToSee("1\u00A0234    0")) << session.transcript();
  session.type("\x1A\r");  // Ctrl-Z, then Enter: the end of the input
  EXPECT_EQ(session.exitStatus(), 0);
}

}  // namespace
