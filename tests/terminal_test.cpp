// The program driven as a person would drive it: wait for each prompt, then type.
#include "gtest/gtest.h"
#include "test_support.h"

namespace {

using testing_support::Dialogue;
using testing_support::environmentWith;
using testing_support::menuText;
using testing_support::prompt;
using testing_support::recode;
using testing_support::TempDir;

void enterRows(Dialogue& dialogue, const char* charset) {
  ASSERT_TRUE(dialogue.waitFor(recode(menuText(), charset))) << dialogue.transcript();
  dialogue.type("1\n");
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 5; ++j) {
      ASSERT_TRUE(dialogue.waitFor(recode(prompt(i, j), charset))) << dialogue.transcript();
      dialogue.type(std::to_string(i * 10 + j) + "\n");
    }
  }
  ASSERT_TRUE(dialogue.waitFor(recode(menuText(), charset))) << dialogue.transcript();
  dialogue.type("2\n");
  ASSERT_TRUE(dialogue.waitFor(recode("   30   31   32   33   34\n" + menuText(), charset)))
      << dialogue.transcript();
}

TEST(Terminal, AWholeSessionAtATerminalEndsWithCtrlD) {
  const TempDir dir;
  Dialogue dialogue(Dialogue::Channel::terminal, environmentWith({"LANG=ru_RU.UTF-8"}), dir.path());
  enterRows(dialogue, "UTF-8");
  dialogue.type("x\n");
  ASSERT_TRUE(dialogue.waitFor("Неверный выбор! Попробуйте снова.\n" + menuText()))
      << dialogue.transcript();
  dialogue.type("1\n");
  ASSERT_TRUE(dialogue.waitFor(prompt(0, 0)));
  dialogue.endInput();
  EXPECT_EQ(dialogue.exitStatus(), 0);
  EXPECT_TRUE(dialogue.transcript().ends_with(prompt(0, 0) + "\n")) << dialogue.transcript();
}

TEST(Terminal, ADriverThatWaitsForEachPromptNeverStallsOnAPipe) {
  const TempDir dir;
  Dialogue dialogue(Dialogue::Channel::pipes, environmentWith({"LC_ALL=ru_RU.CP1251"}), dir.path());
  enterRows(dialogue, "CP1251");
  dialogue.type("9\n");
  EXPECT_EQ(dialogue.exitStatus(), 0);
  EXPECT_TRUE(dialogue.transcript().ends_with(recode(menuText() + "\n", "CP1251")));
}

// A terminal that a crashed full-screen program left with VMIN 0 reads nothing at once
// while nothing is typed: that is no end of input.
TEST(Terminal, ATerminalThatReadsNothingAtOnceIsWaitedFor) {
  const TempDir dir;
  Dialogue dialogue(Dialogue::Channel::rawTerminal, environmentWith({"LC_ALL=ru_RU.UTF-8"}),
                    dir.path());
  ASSERT_TRUE(dialogue.waitFor(menuText()));
  dialogue.type("2\n");
  ASSERT_TRUE(dialogue.waitFor("    0    0    0    0    0\n" + menuText()))
      << dialogue.transcript();
  dialogue.type("9\n");
  EXPECT_EQ(dialogue.exitStatus(), 0);
}

TEST(Terminal, CtrlDAtTheMenuEndsTheProgram) {
  const TempDir dir;
  Dialogue dialogue(Dialogue::Channel::terminal, environmentWith({"LC_ALL=ru_RU.KOI8-R"}),
                    dir.path());
  ASSERT_TRUE(dialogue.waitFor(recode(menuText(), "KOI8-R")));
  dialogue.endInput();
  EXPECT_EQ(dialogue.exitStatus(), 0);
  EXPECT_EQ(dialogue.transcript(), recode(menuText() + "\n", "KOI8-R"));
}

}  // namespace
