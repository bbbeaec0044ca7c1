// The codec's UTF-8, the same on every platform: it needs no locale, and runs in the
// Windows build too, where wchar_t is 16 bits wide.
#include "codec.h"

#include <string>
#include <utility>

#include "gtest/gtest.h"

namespace {

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::size_t used;  // 0: only the start of a character
  char32_t character;
};

// The same decoder serves 32-bit wchar_t (Linux) and 16-bit wchar_t (Windows), where a
// character past U+FFFF is a surrogate pair; char16_t stands in for the latter here.
TEST(Utf8Decoding, AcceptsValidAndReplacesInvalidSequences) {
  const DecodeCase cases[] = {
      {"ascii", "A", 1, U'A'},
      {"nul byte is a character", std::string(1, '\0'), 1, U'\0'},
      {"two bytes", "\xD0\xB4", 2, 0x0434},
      {"two bytes, below U+0100", "\xC2\xA0", 2, 0x00A0},
      {"three bytes", "\xE2\x80\xAF", 3, 0x202F},
      {"four bytes", "\xF0\x9F\x98\x80", 4, 0x1F600},
      {"largest", "\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"truncated two", "\xD0", 0, 0},
      {"truncated four", "\xF0\x9F\x98", 0, 0},
      {"lone continuation", "\x80", 1, 0xFFFD},
      {"byte FF", "\xFF", 1, 0xFFFD},
      {"overlong two", "\xC0\x80", 1, 0xFFFD},
      {"overlong three", "\xE0\x80\x80", 1, 0xFFFD},
      {"surrogate", "\xED\xA0\x80", 1, 0xFFFD},
      {"past U+10FFFF", "\xF4\x90\x80\x80", 1, 0xFFFD},
      {"broken by ascii", "\3205", 1, 0xFFFD},
  };
  for (const auto& c : cases) {
    const char* end = c.bytes.data() + c.bytes.size();
    wchar_t wide[2] = {};
    char16_t narrow[2] = {};
    std::size_t wideUnits = 0;
    std::size_t narrowUnits = 0;
    EXPECT_EQ(console::utf8::decode(c.bytes.data(), end, wide, wideUnits), c.used) << c.name;
    EXPECT_EQ(console::utf8::decode(c.bytes.data(), end, narrow, narrowUnits), c.used) << c.name;
    if (c.used == 0) {
      continue;
    }
    const std::u16string pair =
        c.character > 0xFFFF ? std::u16string{static_cast<char16_t>(0xD7C0 + (c.character >> 10)),
                                              static_cast<char16_t>(0xDC00 + (c.character & 0x3FF))}
                             : std::u16string(1, static_cast<char16_t>(c.character));
    EXPECT_EQ(std::u16string(narrow, narrowUnits), pair) << c.name;
    // wchar_t is the one or the other, by platform.
    const std::wstring wideExpected = sizeof(wchar_t) == 2
                                          ? std::wstring(pair.begin(), pair.end())
                                          : std::wstring(1, static_cast<wchar_t>(c.character));
    EXPECT_EQ(std::wstring(wide, wideUnits), wideExpected) << c.name;
    if (c.character != 0xFFFD) {  // and back, from either width
      char bytes[8];
      EXPECT_EQ(
          std::string(bytes, console::utf8::encode(std::wstring_view(wide, wideUnits), bytes)),
          c.bytes)
          << c.name;
      EXPECT_EQ(std::string(bytes,
                            console::utf8::encode(std::u16string_view(narrow, narrowUnits), bytes)),
                c.bytes)
          << c.name;
    }
  }
  // Texts of several characters, from 16-bit units and from wchar_t: lone surrogate halves,
  // and a character below U+0100 among ASCII, where the encoder takes ASCII four at a time.
  const std::pair<std::u16string, std::string> texts[] = {
      {{0xDC00, u'x', 0xD800, u'y', 0xD800}, "?x?y?"},
      {u"x\u00A0abc", "x\xC2\240abc"},
      {u"abcd\u00E9fgh", "abcd\xC3\251fgh"},
  };
  for (const auto& [text, utf8] : texts) {
    char bytes[32];
    EXPECT_EQ(std::string(bytes, console::utf8::encode(std::u16string_view(text), bytes)), utf8)
        << utf8;
    if (sizeof(wchar_t) == 4 && text.find(char16_t{0xD800}) != std::u16string::npos) {
      continue;  // a lone half is no wchar_t character there
    }
    const std::wstring wide(text.begin(), text.end());
    EXPECT_EQ(std::string(bytes, console::utf8::encode(std::wstring_view(wide), bytes)), utf8)
        << utf8;
  }
}

}  // namespace
