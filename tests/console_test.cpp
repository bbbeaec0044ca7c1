// The console module: the encoding and number conventions it takes from a locale, and the
// four streams over one input and one output buffer.
#include "console.h"

#include <iostream>
#include <limits>

#include "expected.h"
#include "fake_console.h"
#include "gtest/gtest.h"
#include "integer_io.h"
#include "output_bytes.h"
#include "test_files.h"

namespace {

using expected::recode;
using testing_support::MemoryConsole;
using testing_support::namedLocale;

TEST(ConsoleEncoding, FollowsTheLocaleOrFallsBackToUtf8) {
  SKIP_WITHOUT_GLIBC();
  const std::string text = "Результирующий вектор B: 1 0 ЁёЯя";
  const std::wstring wide = L"Результирующий вектор B: 1 0 ЁёЯя";
  for (const char* locale :
       {"ru_RU.UTF-8", "ru_RU.CP1251", "ru_RU.KOI8-R", "ru_RU", "C", "en_US.ISO-8859-1"}) {
    const auto codec = console::conventionsFor(namedLocale(locale)).codec;
    std::string bytes;
    codec.encode(wide, bytes);
    EXPECT_EQ(bytes, recode(text, expected::charsetOf(locale))) << locale;
    // and back
    wchar_t back[64];
    std::size_t ends[64];
    const std::size_t count =
        codec.decode(bytes.data(), bytes.data() + bytes.size(), true, back, ends, 64);
    EXPECT_EQ(std::wstring(back, count), wide) << locale;
    EXPECT_EQ(ends[count - 1], bytes.size()) << locale;
  }
}

TEST(ConsoleEncoding, MarksWhatTheEncodingLacks) {
  SKIP_WITHOUT_GLIBC();
  const auto codec = console::conventionsFor(namedLocale("ru_RU.CP1251")).codec;
  std::string bytes;
  codec.encode(L"a\u202Fb\u20ACc", bytes);
  EXPECT_EQ(bytes,
            "a?b\210c");  // CP1251 has the euro sign at 0x88, not U+202F
}

struct SeparatorCase {
  const char* name;
  std::locale locale;
  wchar_t separator;  // 0: numbers go ungrouped
};

// A locale whose texts and numbers come from two others, named as glibc names it, as the
// program names the user's.
std::locale mixed(const std::string& texts, const std::string& numbers) {
  std::string name = "LC_CTYPE=" + texts + ";LC_NUMERIC=" + numbers;
  for (const char* category : {"TIME", "COLLATE", "MONETARY", "MESSAGES", "PAPER", "NAME",
                               "ADDRESS", "TELEPHONE", "MEASUREMENT", "IDENTIFICATION"}) {
    name += ";LC_" + std::string(category) + "=C";
  }
  return namedLocale(name);
}

TEST(Conventions, GroupsDigitsWithASeparatorTheConsoleCanShow) {
  SKIP_WITHOUT_GLIBC();
  const SeparatorCase cases[] = {
      {"ru_RU.UTF-8 keeps U+202F", namedLocale("ru_RU.UTF-8"), 0x202F},
      {"CP1251 uses its no-break space", namedLocale("ru_RU.CP1251"), 0x00A0},
      {"KOI8-R uses its no-break space", namedLocale("ru_RU.KOI8-R"), 0x00A0},
      {"ISO-8859-5 uses its no-break space", namedLocale("ru_RU"), 0x00A0},
      {"en_US.UTF-8 keeps the comma", namedLocale("en_US.UTF-8"), L','},
      {"CP1251 text, UTF-8 numbers", mixed("ru_RU.CP1251", "ru_RU.UTF-8"), 0},
      {"KOI8-R text, UTF-8 numbers", mixed("ru_RU.KOI8-R", "ru_RU.UTF-8"), 0},
      {"KOI8-R text, CP1251 numbers", mixed("ru_RU.KOI8-R", "ru_RU.CP1251"), 0},
      {"C text, ru_RU.UTF-8 numbers", mixed("C", "ru_RU.UTF-8"), 0x202F},
      {"a space would join numbers typed apart",
       console::withPunctuation(namedLocale("ru_RU.UTF-8"), L'.', L' ', "\3"), 0},
  };
  for (const auto& c : cases) {
    const auto loc = console::conventionsFor(c.locale).locale;
    const auto& punct = std::use_facet<std::numpunct<wchar_t>>(loc);
    if (c.separator == 0) {
      EXPECT_EQ(punct.grouping(), "") << c.name;
    } else {
      EXPECT_EQ(static_cast<unsigned>(punct.thousands_sep()), static_cast<unsigned>(c.separator))
          << c.name;
      EXPECT_NE(punct.grouping(), "") << c.name;
    }
  }
}

TEST(Conventions, GroupedNumbersRoundTripUnderCp1251) {
  SKIP_WITHOUT_GLIBC();
  const std::string grouped = "1\240234 -2\240147\240483\240648";  // \240: CP1251's no-break space
  MemoryConsole term(grouped + "\n", namedLocale("ru_RU.CP1251"));
  int first = 0;
  int second = 0;
  std::wcin >> first >> second;
  EXPECT_EQ(first, 1234);
  EXPECT_EQ(second, std::numeric_limits<int>::min());
  std::wcout << first << L' ' << second;
  EXPECT_EQ(term.output(), grouped);
}

TEST(ConsoleOutput, NarrowAndWideTextsKeepTheirOrder) {
  MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
  std::wcout << L"один ";
  std::cout << "two ";
  std::wcout << 3 << L' ';
  std::cout << 4 << std::endl;
  std::wcout << L'п' << std::flush;
  std::cout << console::narrowText(L"шесть");
  EXPECT_EQ(term.output(), "один two 3 4\nпшесть");
}

TEST(ConsoleOutput, EverythingIsShownBeforeAWaitAndWrittenOncePerWait) {
  MemoryConsole term(
      "1\n\0012 3\n\x01"
      "4\n",
      namedLocale("ru_RU.UTF-8"));
  int value = 0;
  for (int round = 1; round <= 4; ++round) {
    std::wcout << L"вопрос " << round << L": ";
    std::cout << "?" << std::endl;
    if (round % 2 == 0) {
      std::cin >> value;
    } else {
      std::wcin >> value;
    }
    EXPECT_EQ(value, round);
  }
  ASSERT_EQ(term.source.shownAtWaits.size(), 2u);
  EXPECT_EQ(term.source.shownAtWaits[0], "вопрос 1: ?\nвопрос 2: ?\n");
  EXPECT_EQ(term.source.shownAtWaits[1], "вопрос 1: ?\nвопрос 2: ?\nвопрос 3: ?\nвопрос 4: ?\n");
  EXPECT_EQ(term.sink.writes, 2);  // one per wait: nothing written while input was waiting
}

TEST(ConsoleOutput, LongTextsWrittenAgainComeOutExactly) {
  SKIP_WITHOUT_GLIBC();
  MemoryConsole term("", namedLocale("ru_RU.CP1251"));
  const std::wstring first(300, L'ж');
  std::wstring second(first);
  second[299] = L'z';
  std::wcout << first << first << second << first << second;
  const std::string one(300, '\xE6');
  std::string two = one;
  two[299] = 'z';
  EXPECT_EQ(term.output(), one + one + two + one + two);
}

TEST(ConsoleOutput, BulkOutputIsWrittenInLargeBlocks) {
  MemoryConsole term("", namedLocale("ru_RU.UTF-8"));
  for (int line = 0; line < 20000; ++line) {
    std::wcout << L"строка " << line << std::endl;
  }
  const std::string all = term.output();
  EXPECT_GT(all.size(), 300000u);
  EXPECT_LE(term.sink.writes, static_cast<int>(all.size() / console::outputBlock) + 1);
  EXPECT_GT(term.sink.writes, 1);  // written as it grows, not held until the end
}

// A write that fails is remembered, whichever write it was: a whole block written while
// the output grows, what is left at the end, or a text too long for the buffer.
TEST(ConsoleOutput, AFailedWriteIsRememberedWhicheverWriteItWas) {
  const std::size_t sizes[] = {2 * console::outputBlock, 100, 3 * console::outputBlock + 1};
  for (const std::size_t size : sizes) {
    MemoryConsole term("", namedLocale("C"));
    term.sink.fail = true;
    std::cout << std::string(size, 'x');
    EXPECT_FALSE(term.console.flush()) << size;
    EXPECT_GT(term.sink.writes, 0) << size;
  }
}

TEST(ConsoleInput, EachStreamReadsWhatTheOtherLeft) {
  MemoryConsole term("5д\n12 7 x\n", namedLocale("ru_RU.UTF-8"));
  int value = 0;
  std::wcin >> value;
  EXPECT_EQ(value, 5);
  std::string rest;
  std::getline(std::cin, rest);
  EXPECT_EQ(rest, "д");  // the character wcin looked at is read again, all its bytes
  std::cin >> value;
  EXPECT_EQ(value, 12);
  std::wcin >> value;
  EXPECT_EQ(value, 7);
  wchar_t letter = 0;
  std::wcin >> letter;
  EXPECT_EQ(letter, L'x');
  char newline = 0;
  std::cin.get(newline);
  EXPECT_EQ(newline, '\n');
  EXPECT_FALSE(std::cin.get(newline));
  EXPECT_TRUE(std::cin.eof());
}

TEST(ConsoleInput, InvalidBytesAreInputNotTheEnd) {
  const std::string cases[] = {"\xFF\n", std::string("\0\n", 2), "\xD0\n", "\xED\xA0\x80\n"};
  for (const auto& junk : cases) {
    MemoryConsole term(junk + "42\n", namedLocale("ru_RU.UTF-8"));
    int value = 0;
    const std::string name = ::testing::PrintToString(junk);
    EXPECT_FALSE(std::wcin >> value) << name;
    EXPECT_FALSE(std::wcin.eof()) << name;
    std::wcin.clear();
    std::wcin.ignore(std::numeric_limits<std::streamsize>::max(), L'\n');
    EXPECT_TRUE(std::wcin >> value) << name;
    EXPECT_EQ(value, 42) << name;
  }
}

TEST(ConsoleInput, TheEndOfInputInsideACharacterReadsAsAReplacement) {
  MemoryConsole term("\xD0", namedLocale("ru_RU.UTF-8"));
  EXPECT_EQ(std::wcin.get(), 0xFFFD);
  EXPECT_EQ(std::wcin.get(), WEOF);
  EXPECT_TRUE(std::wcin.eof());
}

TEST(ConsoleInput, EndOfInputStaysEnded) {
  MemoryConsole term("1", namedLocale("C"));
  int value = 0;
  EXPECT_TRUE(std::cin >> value);
  EXPECT_TRUE(std::cin.eof());
  std::cin.clear();
  EXPECT_FALSE(std::wcin >> value);
  EXPECT_TRUE(std::wcin.eof());
  EXPECT_EQ(term.source.waits(), 0);
}

}  // namespace
