// The built program, end to end, compared byte for byte: the menu, entry, display, sorting
// and B, the end of the input and the user's locale (ProgramMenu); the standard input and
// output in any state, and a person at a terminal who waits for each prompt (ProgramConsole).
// The matrix file has a file of its own.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
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
using transcripts::linuxLocale;

const transcripts::Locale utf8 = linuxLocale("ru_RU.UTF-8");
const transcripts::Locale cp1251 = linuxLocale("ru_RU.CP1251");
const transcripts::Locale koi8 = linuxLocale("ru_RU.KOI8-R", "LANG");
const transcripts::Locale plainC = linuxLocale("C", "LANG");
const transcripts::Locale latin1 = linuxLocale("en_US.ISO-8859-1");

TEST(ProgramMenu, ShowsTheMatrixAndRejectsInvalidChoices) {
  expectTranscripts(transcripts::choices(), {utf8, cp1251, koi8, plainC, latin1});
}

TEST(ProgramMenu, EntryThenDisplay) {
  SKIP_WITHOUT_GLIBC();
  // The digit-group separator that each console can show.
  expectTranscripts(transcripts::entryAndDisplay("\u202F"), {utf8});
  expectTranscripts(transcripts::entryAndDisplay("\u00A0"), {cp1251, koi8});
  // KOI8-R cannot show the U+202F of the UTF-8 numbers, nor has it a byte that means it.
  const transcripts::Locale koi8Texts{
      "KOI8-R texts, UTF-8 numbers", {"LANG=ru_RU.KOI8-R", "LC_NUMERIC=ru_RU.UTF-8"}, "KOI8-R"};
  // LC_ALL rules over a category's own variable.
  const transcripts::Locale overruled{
      "LC_ALL over LC_NUMERIC", {"LC_ALL=C", "LC_NUMERIC=ru_RU.UTF-8"}, plainC.charset};
  expectTranscripts(transcripts::entryAndDisplay(""), {koi8Texts, plainC, overruled});
}

TEST(ProgramMenu, RowCheckSortingAndVectorB) {
  expectTranscripts(transcripts::rowCheckAndSorting(), {utf8, cp1251, koi8, plainC});
}

TEST(ProgramMenu, EndOfInputEndsTheProgramQuietly) {
  expectTranscripts(transcripts::endOfInput(), {utf8, cp1251});
}

TEST(ProgramMenu, WhatTheElementReadLeavesGoesToTheMenu) {
  SKIP_WITHOUT_GLIBC();
  // 5 fills the last cell; the menu read then meets the letter д.
  const std::string input = "1\n" + times("0\n", 19) + "5д\n2\n9\n";
  const std::string wanted = menuThenChoice + allPrompts() + menuThenChoice +
                             std::string(invalidChoice) + menuThenChoice +
                             zeroMatrix.substr(0, zeroMatrix.size() - zeros.size()) +
                             "    0    0    0    0    5\n" + menuThenChoice;
  for (const auto& locale : {utf8, cp1251, koi8}) {
    const std::string encoded = recode(input, locale.charset);
    const auto outcome = runProgram(encoded, environmentWith(locale.environment));
    EXPECT_EQ(outcome.out, recode(wanted, locale.charset)) << locale.name;
  }
}

// Whether root installed ru_RU.UTF-8 into the system's locale archive, as the README tells,
// having said so where the row `name` skips because it did not.
bool russianArchived(const std::string& name) {
  const auto outcome = runProgram("9\n", environmentWith({"LOCPATH=", "LANG=ru_RU.UTF-8"}));
  return !skips(name, outcome.err.empty() ? "" : "ru_RU.UTF-8 is not installed system-wide");
}

// Each locale that cannot be loaded is named, with the variable that chose it and what can be
// done where glibc looks for it (LOCPATH hides the system's archive), in lines of its own; a
// last line says what the program uses instead.
TEST(ProgramMenu, ALocaleThatIsNotInstalledFallsBackToUtf8WithAWarning) {
  if (!withoutGlibc().empty()) {
    // musl makes a UTF-8 locale of any name: none is missing, and none is warned of.
    expectTranscripts(
        transcripts::choices(),
        {{"any names under musl", {"LANG=xx_YY.UTF-8", "LC_CTYPE=ru_RU.CP1251"}, "UTF-8"}});
  }
  SKIP_WITHOUT_GLIBC();
  struct Case {
    std::vector<std::string> environment;
    std::string warning;  // without the last line
  };
  // Installed locales that cannot be loaded, as when memory is short: damaged copies, under
  // the names glibc tries (the character set normalized, or left out), none in the archive.
  const TempDir damaged;
  for (const auto& [from, to, category, size] :
       {std::tuple{"ru_RU.UTF-8", "collation/ru_RU.UTF-8", "LC_COLLATE", std::uintmax_t{0}},
        std::tuple{"ru_RU.UTF-8", "numbers/ru_RU.UTF-8", "LC_NUMERIC", std::uintmax_t{10}},
        std::tuple{"ru_RU.KOI8-R", "whole/ru_RU.koi8r", "", std::uintmax_t{0}},
        std::tuple{"ru_RU", "whole/ru_RU", "", std::uintmax_t{0}}}) {
    const auto locale = damaged.path() / to;
    std::filesystem::create_directories(locale.parent_path());
    std::filesystem::copy(std::string(LOCALE_DIR) + "/" + from, locale);
    for (const auto& file : std::filesystem::directory_iterator(locale)) {
      if (file.path().filename().string().starts_with(category)) {
        std::filesystem::resize_file(file.path(), size);
      }
    }
  }
  const std::string dir = damaged.path().string();
  std::filesystem::create_directory(dir + "/a b");  // a LOCPATH of a directory quoted in advice
  const std::string ruCannotLoad = localeLine("ru_RU.UTF-8", "LANG") + cannotLoad;
  // The warning for a locale chosen by `variable` that localedef can make with `recipe`, into
  // the system or into `directory`.
  const auto advised = [](const std::string& shown, const std::string& recipe,
                          const char* variable = "LANG", const std::string& directory = "") {
    return localeLine(shown, variable) +
           (directory.empty() ? installableWith : installableInLocpath) + "localedef -i " + recipe +
           " " + directory + shown + "\n";
  };
  std::vector<Case> cases = {
      {{"LOCPATH=" + dir + "/collation", "LANG=ru_RU.UTF-8"}, ruCannotLoad},
      {{"LOCPATH=" + dir + "/numbers", "LANG=ru_RU.UTF-8"}, ruCannotLoad},
      {{"LOCPATH=" + dir + "/none:" + dir + "/whole", "LANG=ru_RU.KOI8-R"},
       localeLine("ru_RU.KOI8-R", "LANG") + cannotLoad},
      {{"LOCPATH=" + dir + "/whole", "LANG=ru_RU.ISO-8859-5"},
       localeLine("ru_RU.ISO-8859-5", "LANG") + cannotLoad},
      // Shown escaped: a terminal must not take the name for a command.
      {{"LANG=xx\x1B]0;title\x07"}, localeLine("xx\\x1B]0;title\\x07", "LANG") + unknownHere},
      {{"LANG=xx_YY.UTF-8"}, localeLine("xx_YY.UTF-8", "LANG") + unknownHere},
      {{"LANG=/de_DE.UTF-8"}, localeLine("/de_DE.UTF-8", "LANG") + unknownHere},
      // The tests' locales hold a ru_RU, in another character set.
      {{"LC_ALL=ru_RU.NOPE"}, localeLine("ru_RU.NOPE", "LC_ALL") + unknownHere},
      {{"LANG=ru_RU.UTF-8", "LC_NUMERIC=xx_YY"}, localeLine("xx_YY", "LC_NUMERIC") + unknownHere},
      {{"LANG=ru_RU.UTF-8", "LC_TIME=de_DE.utf8"},
       advised("de_DE.utf8", "de_DE -f UTF-8", "LC_TIME", LOCALE_DIR "/")},
      {{"LOCPATH=" + dir + "/none", "LANG=de_DE.UTF-8"},
       localeLine("de_DE.UTF-8", "LANG") + installableInLocpath + "mkdir -p " + dir +
           "/none\n  localedef -i de_DE -f UTF-8 " + dir + "/none/de_DE.UTF-8\n"},
      // Debian's list names these "de_DE ISO-8859-1" and "sr_RS@latin UTF-8"; it lists no
      // de_DE.CP1252, made from its source and character map.
      {{"LOCPATH=", "LANG=de_DE.ISO-8859-1"}, advised("de_DE.ISO-8859-1", "de_DE -f ISO-8859-1")},
      {{"LOCPATH=", "LANG=sr_RS@latin"}, advised("sr_RS@latin", "sr_RS@latin -f UTF-8")},
      {{"LOCPATH=" + dir + "/a b", "LANG=de_DE.CP1252"},
       advised("de_DE.CP1252", "de_DE -f CP1252", "LANG", "'" + dir + "/a b'/")},
      {{"LOCPATH=", "LANG=de_DE.UTF-8\a"}, advised("de_DE.UTF-8\\x07", "de_DE -f UTF-8")},
      {{"LOCPATH=", "LANG=de_DE.UTF-8", "LC_NUMERIC=fr_FR.UTF-8"},
       advised("de_DE.UTF-8", "de_DE -f UTF-8") +
           advised("fr_FR.UTF-8", "fr_FR -f UTF-8", "LC_NUMERIC")},
  };
  if (russianArchived("root's ru_RU.UTF-8, out of LOCPATH's sight")) {
    cases.push_back({{"LOCPATH=" + dir, "LANG=ru_RU.UTF-8"},
                     localeLine("ru_RU.UTF-8", "LANG") + hiddenByLocpath +
                         "localedef -i ru_RU -f UTF-8 " + dir + "/ru_RU.UTF-8\n"});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.environment));
    const auto outcome = runProgram("1 1 1234 0 0 0\n" + times("0 ", 15) + "\n2\n9\n",
                                    environmentWith(c.environment));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, menuThenChoice + allPrompts() + menuThenChoice + original +
                               "    1 1234    0    0    0\n" + times(zeros, 3) + menuThenChoice);
    EXPECT_EQ(outcome.err, c.warning + classicUsed);
  }
}

TEST(ProgramMenu, HugeLinesAreRejectedLikeAnyOther) {
  SKIP_WITHOUT_GLIBC();
  const std::size_t megabytes = 30;
  const std::string junk(megabytes << 20, 'x');
  const std::string digits(megabytes << 20, '7');
  const auto atMenu =
      runProgram(junk + "\n" + digits + "\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}));
  EXPECT_EQ(atMenu.out, times(menuThenChoice + std::string(invalidChoice), 2) + menuThenChoice);
  const auto atElement =
      runProgram("1\n" + junk + "\n" + digits + "\n", environmentWith({"LC_ALL=ru_RU.CP1251"}));
  EXPECT_EQ(atElement.out,
            recode(menuThenChoice + times(prompt(0, 0) + std::string(invalidValue), 2) +
                       prompt(0, 0) + "\n",
                   "CP1251"));
  EXPECT_EQ(atElement.status, 0);
}

// libstdc++'s own reader keeps a byte for each digit group: a line of five million groups
// would cost megabytes. The zeros read as one valid number, 0, whatever their count.
TEST(ProgramMenu, ALongGroupedNumberTakesNoMoreMemoryThanAShortOne) {
  long peak[2] = {};
  const std::string lines[2] = {"1\n0\n", "1\n0" + times("\u202F000", 5'000'000) + "\n"};
  for (int k = 0; k < 2; ++k) {
    const TempDir dir;
    Dialogue session(Dialogue::Channel::pipes, environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path());
    session.type(lines[k]);
    ASSERT_TRUE(session.waitFor(prompt(0, 1), std::chrono::seconds(60))) << session.transcript();
    peak[k] = session.peakKilobytes();
  }
  EXPECT_LT(peak[1] - peak[0], 1024) << peak[0] << " KiB for a short line";
}

struct DescriptorCase {
  const char* name;
  Restrictions restrictions;
  int status;  // 1 where output failed, with one line on standard error that says so
};

// Output that cannot be written is no reason to stop: the session runs to its end, saves
// included, and only the exit status and one line on standard error tell.
TEST(ProgramConsole, StandardDescriptorsInAnyStateNeverStopTheSession) {
  const DescriptorCase cases[] = {
      {"output on a full device", {.standardOutput = "/dev/full"}, 1},
      {"output closed at start", {.standardOutput = ""}, 1},
      {"output pipe with no reader", {.readerGone = true}, 1},
      {"output past the file-size limit", {.fileSizeLimit = 1024, .standardOutput = "out.txt"}, 1},
      {"output closed, and no /dev/null", {.standardOutput = "", .noDevNull = true}, 1},
      {"input closed at start", {.closedInput = true}, 0},
      {"all as usual", {}, 0},
  };
  for (const auto& c : cases) {
    if (skips(c.name, cannotRun(c.restrictions))) {
      continue;
    }
    const TempDir dir;
    const auto outcome =
        runProgram("1 " + times("5 ", 20) + "\n7\n9\n", environmentWith({"LC_ALL=ru_RU.UTF-8"}),
                   dir.path(), c.restrictions);
    EXPECT_EQ(outcome.status, c.status) << c.name;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), c.status)
        << c.name << ": " << outcome.err;
    // The save went ahead, and no console output landed in the file.
    const std::string saved = c.restrictions.closedInput ? "" : times(times("5 ", 5) + "\n", 4);
    EXPECT_EQ(readFile(dir.path() / "matrix.txt"), saved) << c.name;
  }
}

// Short of memory, the program ends with a line that says so and status 1, or runs with the
// classic conventions where the locale alone did not fit; it never aborts on an uncaught
// std::bad_alloc. Limits over a range wide enough for any build, each one tried.
TEST(ProgramConsole, ShortOfMemoryItSaysSoRatherThanAbort) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run short of memory";
#endif
  const TempDir dir;
  // Installed in a directory, and where root installed it so, in the system's archive (an
  // empty LOCPATH), in turn: either way never called missing.
  const std::vector<std::string> inDirectory = {"LANG=ru_RU.UTF-8"};
  const std::vector<std::string> inArchive = {"LOCPATH=", "LANG=ru_RU.UTF-8"};
  const bool archived = russianArchived("the archive's ru_RU.UTF-8");
  Restrictions tight;
  for (tight.addressSpaceLimit = 4'000'000; tight.addressSpaceLimit <= 12'000'000;
       tight.addressSpaceLimit += 100'000) {
    SCOPED_TRACE(tight.addressSpaceLimit);
    const bool turn = archived && tight.addressSpaceLimit / 100'000 % 2 == 1;
    const auto outcome =
        runProgram("2\n9\n", environmentWith(turn ? inArchive : inDirectory), dir.path(), tight);
    EXPECT_EQ(outcome.err.find("не установлена"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("after throwing"), std::string::npos) << outcome.err;
    EXPECT_TRUE(outcome.status != 1 || outcome.err.ends_with(expected::outOfMemory)) << outcome.err;
  }
}

// Memory that runs out during a save: with no spare heap kept (top_pad), the save asks the
// system for more, which strace refuses from the first call after the input was read on.
// What was shown before reaches the output, and matrix.txt stays as it was.
TEST(ProgramConsole, MemoryThatRunsOutDuringASaveLeavesTheFileAsItWas) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run short of memory";
#endif
  if (!haveStrace()) {
    GTEST_SKIP() << "strace is not installed";
  }
  const TempDir dir;
  writeFile(dir.path() / "matrix.txt", "old\n");
  const auto noPad = environmentWith({"LC_ALL=C", "GLIBC_TUNABLES=glibc.malloc.top_pad=0"});
  const TempDir traces;
  const std::string trace = (traces.path() / "trace").string();
  runProgram("2\n9\n", noPad, dir.path(), {.tracer = strace("-o " + trace + " -e brk,mmap,read")});
  std::size_t brks = 1;  // counting the first to refuse
  std::size_t mmaps = 1;
  std::istringstream calls(readFile(trace));
  for (std::string call; std::getline(calls, call) && !call.starts_with("read(0,");) {
    brks += call.starts_with("brk(") ? 1 : 0;
    mmaps += call.starts_with("mmap(") ? 1 : 0;
  }
  const auto outcome = runProgram(
      "2\n7\n9\n", noPad, dir.path(),
      {.tracer = strace("-o /dev/null -e inject=brk:retval=0:when=" + std::to_string(brks) +
                        "+ -e inject=mmap:error=ENOMEM:when=" + std::to_string(mmaps) + "+")});
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_TRUE(outcome.err.ends_with(expected::outOfMemory)) << outcome.err;
  EXPECT_EQ(outcome.out, menuThenChoice + zeroMatrix + menuThenChoice);
  EXPECT_EQ(readFile(dir.path() / "matrix.txt"), "old\n");
}

// A descriptor that another program left non-blocking is waited on: input not there yet is
// no end of input, and output the pipe cannot take yet is not lost.
TEST(ProgramConsole, NonBlockingDescriptorsAreWaitedOn) {
  for (const bool output : {false, true}) {
    const TempDir dir;
    Restrictions nonBlocking;
    (output ? nonBlocking.nonBlockingOutput : nonBlocking.nonBlockingInput) = true;
    Dialogue dialogue(Dialogue::Channel::pipes, environmentWith({"LC_ALL=ru_RU.UTF-8"}), dir.path(),
                      nonBlocking);
    ASSERT_TRUE(dialogue.waitFor(menu)) << output;  // and now it waits for input
    if (!output) {                                  // long enough for its reads to meet EAGAIN
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    dialogue.type(times("2\n", 2000) + "9\n");
    // Nobody reads meanwhile: the pipe fills, and the program's writes meet EAGAIN.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(dialogue.exitStatus(), 0) << output;
    EXPECT_TRUE(dialogue.transcript() == times(menuThenChoice + zeroMatrix, 2000) + menuThenChoice)
        << output;
  }
}

void enterRows(Dialogue& dialogue, const char* charset) {
  ASSERT_TRUE(dialogue.waitFor(recode(menu, charset))) << dialogue.transcript();
  dialogue.type("1\n");
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 5; ++j) {
      ASSERT_TRUE(dialogue.waitFor(recode(prompt(i, j), charset))) << dialogue.transcript();
      dialogue.type(std::to_string(i * 10 + j) + "\n");
    }
  }
  ASSERT_TRUE(dialogue.waitFor(recode(menu, charset))) << dialogue.transcript();
  dialogue.type("2\n");
  ASSERT_TRUE(dialogue.waitFor(recode("   30   31   32   33   34\n" + menu, charset)))
      << dialogue.transcript();
}

TEST(ProgramConsole, AWholeSessionAtATerminalEndsWithCtrlD) {
  const TempDir dir;
  Dialogue dialogue(Dialogue::Channel::terminal, environmentWith({"LANG=ru_RU.UTF-8"}), dir.path());
  enterRows(dialogue, "UTF-8");
  dialogue.type("x\n");
  ASSERT_TRUE(dialogue.waitFor(invalidChoice + menu)) << dialogue.transcript();
  dialogue.type("1\n");
  ASSERT_TRUE(dialogue.waitFor(prompt(0, 0)));
  dialogue.endInput();
  EXPECT_EQ(dialogue.exitStatus(), 0);
  EXPECT_TRUE(dialogue.transcript().ends_with(prompt(0, 0) + "\n")) << dialogue.transcript();
}

TEST(ProgramConsole, ADriverThatWaitsForEachPromptNeverStallsOnAPipe) {
  SKIP_WITHOUT_GLIBC();
  const TempDir dir;
  Dialogue dialogue(Dialogue::Channel::pipes, environmentWith({"LC_ALL=ru_RU.CP1251"}), dir.path());
  enterRows(dialogue, "CP1251");
  dialogue.type("9\n");
  EXPECT_EQ(dialogue.exitStatus(), 0);
  EXPECT_TRUE(dialogue.transcript().ends_with(recode(menu + "\n", "CP1251")));
}

// A terminal that a crashed full-screen program left with VMIN 0 reads nothing at once
// while nothing is typed: that is no end of input.
TEST(ProgramConsole, ATerminalThatReadsNothingAtOnceIsWaitedFor) {
  const TempDir dir;
  Dialogue dialogue(Dialogue::Channel::rawTerminal, environmentWith({"LC_ALL=ru_RU.UTF-8"}),
                    dir.path());
  ASSERT_TRUE(dialogue.waitFor(menu));
  ASSERT_TRUE(dialogue.sleeps()) << "the program did not wait for input";
  dialogue.type("2\n");
  ASSERT_TRUE(dialogue.waitFor(zeros + menu)) << dialogue.transcript();
  dialogue.type("9\n");
  EXPECT_EQ(dialogue.exitStatus(), 0);
}

TEST(ProgramConsole, CtrlDAtTheMenuEndsTheProgram) {
  SKIP_WITHOUT_GLIBC();
  const TempDir dir;
  Dialogue dialogue(Dialogue::Channel::terminal, environmentWith({"LC_ALL=ru_RU.KOI8-R"}),
                    dir.path());
  ASSERT_TRUE(dialogue.waitFor(recode(menu, "KOI8-R")));
  dialogue.endInput();
  EXPECT_EQ(dialogue.exitStatus(), 0);
  EXPECT_EQ(dialogue.transcript(), recode(menu + "\n", "KOI8-R"));
}

}  // namespace
