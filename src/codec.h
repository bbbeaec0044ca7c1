// Wide characters to the bytes of one character encoding and back: UTF-8, single-byte
// encodings by table, and any other encoding through the locale's own conversion facet.
//
// wchar_t is 32 bits on Linux (one unit per character) and 16 bits on Windows, where a
// character past U+FFFF takes two units (a UTF-16 surrogate pair); the codec handles both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <locale>
#include <string>
#include <string_view>
#include <vector>

namespace console {

// What an invalid byte decodes to, so that it is never confused with the end of input.
inline constexpr wchar_t replacementChar = 0xFFFD;

class Codec {
 public:
  static Codec utf8();
  // A single-byte encoding: `table` holds what each byte stands for, replacementChar for a
  // byte the encoding leaves undefined.
  static Codec singleByte(const std::array<wchar_t, 256>& table);
  // The encoding of `loc`'s character type category, whatever it can represent.
  static Codec ofLocale(const std::locale& loc);

  // Decodes characters from [from, end) into `out`, at most `capacity` units, and records in
  // `ends` the offset from `from` just past each unit's bytes. The first unit of a surrogate
  // pair ends where its character starts, so that a half character is never consumed.
  // Stops before a character of which [from, end) holds only the beginning, unless `final`
  // says no more bytes will come: then that beginning decodes as replacementChar. An invalid
  // byte decodes as replacementChar and takes one byte. Returns the number of units.
  std::size_t decode(const char* from, const char* end, bool final, wchar_t* out, std::size_t* ends,
                     std::size_t capacity) const;
  // The one character that `byte` stands for on its own, or 0 when it stands for none.
  wchar_t decodeByte(char byte) const;

  // Writes `text` in this encoding to `out`, which has room for maxEncodedLength(text.size())
  // bytes; a character the encoding lacks becomes '?'. Returns the end of what was written.
  char* encode(std::wstring_view text, char* out) const;
  // The same, appended to `out`.
  void encode(std::wstring_view text, std::string& out) const;
  std::size_t maxEncodedLength(std::size_t units) const { return units * maxBytesPerUnit_; }
  bool canEncode(wchar_t c) const;
  // Whether the Cyrillic letters А to я (U+0410 to U+044F) can all be written: those of the
  // program's texts, which have no Ё or ё.
  bool canEncodeCyrillic() const;

 private:
  enum class Kind { utf8, singleByte, facet };
  using Facet = std::codecvt<wchar_t, char, std::mbstate_t>;

  Codec() = default;
  std::size_t decodeOne(const char* from, const char* end, wchar_t* out, std::size_t& units) const;
  std::size_t decodeWithFacet(const char* from, const char* end, wchar_t& out) const;
  char* encodeWithFacet(std::wstring_view text, char* out) const;
  int byteFor(wchar_t c) const;  // singleByte: the byte for `c`, or -1

  Kind kind_ = Kind::utf8;
  std::size_t maxBytesPerUnit_ = 4;
  std::locale locale_;  // keeps facet_ alive
  const Facet* facet_ = nullptr;
  // singleByte: what each byte stands for; and back, the byte for character c at
  // bytePages_[pageOf_[c >> 8]][c & 0xFF], -1 where there is none (page 0 has none at all).
  std::vector<wchar_t> byteToChar_;
  std::array<std::uint8_t, 256> pageOf_{};
  std::vector<std::array<std::int16_t, 256>> bytePages_;
};

// UTF-8 for either width of wide character, exposed so that the 16-bit form (wchar_t on
// Windows) is tested on every platform with char16_t.
namespace utf8 {

// Decodes the character at `from` into `out` (room for two units). Returns the bytes it
// takes and sets `units` to 1, or 2 for a surrogate pair; returns 0 when [from, end) holds
// only the beginning of a character. An invalid byte is replacementChar and takes one byte.
template <typename Unit>
std::size_t decode(const char* from, const char* end, Unit* out, std::size_t& units);

// Writes `text` to `out` (room for 4 bytes per unit); a lone surrogate becomes '?'.
template <typename Unit>
char* encode(std::basic_string_view<Unit> text, char* out);

}  // namespace utf8

}  // namespace console
