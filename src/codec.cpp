#include "codec.h"

#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace console {

namespace {

// The Cyrillic letters of the program's texts; an encoding that lacks one cannot show them.
constexpr wchar_t firstCyrillic = 0x0410;  // А
constexpr wchar_t lastCyrillic = 0x044F;   // я

bool isUnicodeScalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }
bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A unit's value as a code point, with no sign extension where wchar_t is signed.
template <typename Unit>
char32_t valueOf(Unit unit) {
  return static_cast<char32_t>(static_cast<std::make_unsigned_t<Unit>>(unit));
}

// Strict UTF-8: overlong forms, surrogates and values past U+10FFFF are invalid.
std::size_t decodeUtf8(const char* from, const char* end, char32_t& out) {
  const auto lead = static_cast<unsigned char>(*from);
  if (lead < 0x80) {
    out = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    out = replacementChar;
    return 1;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (from + i == end) {
      return 0;  // a valid beginning so far: more bytes needed
    }
    const auto next = static_cast<unsigned char>(from[i]);
    if ((next & 0xC0) != 0x80) {
      out = replacementChar;
      return 1;
    }
    value = (value << 6) | (next & 0x3Fu);
    // Reject overlong and out-of-range forms as soon as the second byte shows them.
    if (i == 1 &&
        ((length == 3 && value < 0x20) || (length == 4 && (value < 0x10 || value > 0x10F)))) {
      out = replacementChar;
      return 1;
    }
  }
  if (value < minimum || !isUnicodeScalar(value)) {
    out = replacementChar;
    return 1;
  }
  out = value;
  return length;
}

// Whether the facet encodes these characters exactly as UTF-8 does.
bool facetIsUtf8(const std::codecvt<wchar_t, char, std::mbstate_t>& facet) {
  const std::wstring probe = L"\u0434\u20AC\U0001F600";
  const std::string utf8 = "\xD0\xB4\xE2\x82\xAC\xF0\x9F\x98\x80";
  std::mbstate_t state{};
  const wchar_t* fromNext = nullptr;
  char bytes[32];
  char* toNext = nullptr;
  const auto result = facet.out(state, probe.data(), probe.data() + probe.size(), fromNext, bytes,
                                bytes + sizeof bytes, toNext);
  return result == std::codecvt_base::ok && std::string(bytes, toNext) == utf8;
}

}  // namespace

namespace utf8 {

template <typename Unit>
std::size_t decode(const char* from, const char* end, Unit* out, std::size_t& units) {
  char32_t c = 0;
  const std::size_t used = decodeUtf8(from, end, c);
  units = 1;
  if constexpr (sizeof(Unit) == 2) {
    if (c > 0xFFFF) {
      c -= 0x10000;
      out[0] = static_cast<Unit>(0xD800 + (c >> 10));
      out[1] = static_cast<Unit>(0xDC00 + (c & 0x3FF));
      units = 2;
      return used;
    }
  }
  out[0] = static_cast<Unit>(c);
  return used;
}

template <typename Unit>
char* encode(std::basic_string_view<Unit> text, char* out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = valueOf(text[i]);
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
      // The rest of an ASCII run four at a time: most of a table row is one.
      while (i + 4 < text.size() && (valueOf(text[i + 1]) | valueOf(text[i + 2]) |
                                     valueOf(text[i + 3]) | valueOf(text[i + 4])) < 0x80) {
        out[0] = static_cast<char>(text[i + 1]);
        out[1] = static_cast<char>(text[i + 2]);
        out[2] = static_cast<char>(text[i + 3]);
        out[3] = static_cast<char>(text[i + 4]);
        out += 4;
        i += 4;
      }
      continue;
    }
    if constexpr (sizeof(Unit) == 2) {
      if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(valueOf(text[i + 1]))) {
        c = 0x10000 + ((c - 0xD800) << 10) + (valueOf(text[++i]) - 0xDC00);
      }
    }
    if (!isUnicodeScalar(c)) {
      *out++ = '?';
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (c >> 12));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (c >> 18));
      *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

template std::size_t decode(const char*, const char*, wchar_t*, std::size_t&);
template std::size_t decode(const char*, const char*, char16_t*, std::size_t&);
template char* encode(std::wstring_view, char*);
template char* encode(std::u16string_view, char*);

}  // namespace utf8

Codec Codec::utf8() { return {}; }

Codec Codec::singleByte(const std::array<wchar_t, 256>& table) {
  Codec codec;
  codec.kind_ = Kind::singleByte;
  codec.maxBytesPerUnit_ = 1;
  codec.byteToChar_.assign(table.begin(), table.end());
  std::array<std::int16_t, 256> none{};
  none.fill(-1);
  codec.bytePages_.assign(1, none);
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    const char32_t c = valueOf(table[byte]);
    if (c == replacementChar || c > 0xFFFF) {
      continue;
    }
    std::uint8_t& page = codec.pageOf_[c >> 8];
    if (page == 0) {
      page = static_cast<std::uint8_t>(codec.bytePages_.size());
      codec.bytePages_.push_back(none);
    }
    std::int16_t& entry = codec.bytePages_[page][c & 0xFF];
    if (entry < 0) {  // of two bytes for one character, the first
      entry = static_cast<std::int16_t>(byte);
    }
  }
  return codec;
}

Codec Codec::ofLocale(const std::locale& loc) {
  Codec codec;
  codec.locale_ = loc;
  codec.facet_ = &std::use_facet<Facet>(loc);
  if (facetIsUtf8(*codec.facet_)) {
    return utf8();
  }
  if (codec.facet_->max_length() == 1) {
    // One table each way makes conversion a lookup.
    std::array<wchar_t, 256> table{};
    for (std::size_t byte = 0; byte < table.size(); ++byte) {
      const char in = static_cast<char>(byte);
      if (codec.decodeWithFacet(&in, &in + 1, table[byte]) != 1) {
        table[byte] = replacementChar;
      }
    }
    return singleByte(table);
  }
  codec.kind_ = Kind::facet;
  codec.maxBytesPerUnit_ = static_cast<std::size_t>(std::max(codec.facet_->max_length(), 1));
  return codec;
}

std::size_t Codec::decodeOne(const char* from, const char* end, wchar_t* out,
                             std::size_t& units) const {
  units = 1;
  switch (kind_) {
  case Kind::utf8:
    return utf8::decode(from, end, out, units);
  case Kind::singleByte:
    out[0] = byteToChar_[static_cast<unsigned char>(*from)];
    return 1;
  case Kind::facet:
    break;
  }
  return decodeWithFacet(from, end, out[0]);
}

std::size_t Codec::decode(const char* from, const char* end, bool final, wchar_t* out,
                          std::size_t* ends, std::size_t capacity) const {
  if (kind_ == Kind::singleByte) {
    const auto count = std::min(capacity, static_cast<std::size_t>(end - from));
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = byteToChar_[static_cast<unsigned char>(from[i])];
      ends[i] = i + 1;
    }
    return count;
  }
  std::size_t count = 0;
  const char* at = from;
  while (count < capacity && at != end) {
    if (kind_ == Kind::utf8 && static_cast<unsigned char>(*at) < 0x80) {
      out[count] = static_cast<wchar_t>(*at++);
      ends[count++] = static_cast<std::size_t>(at - from);
      continue;
    }
    wchar_t units[2] = {};
    std::size_t produced = 1;
    std::size_t used = decodeOne(at, end, units, produced);
    if (used == 0) {
      if (!final) {
        break;
      }
      units[0] = replacementChar;  // the input ended inside a character
      used = 1;
    }
    if (produced > capacity - count) {
      break;
    }
    if (produced == 2) {
      out[count] = units[0];
      ends[count] = static_cast<std::size_t>(at - from);
      ++count;
    }
    at += used;
    out[count] = units[produced - 1];
    ends[count] = static_cast<std::size_t>(at - from);
    ++count;
  }
  return count;
}

wchar_t Codec::decodeByte(char byte) const {
  wchar_t units[2] = {};
  std::size_t produced = 0;
  const bool whole = decodeOne(&byte, &byte + 1, units, produced) == 1 && produced == 1;
  return whole && units[0] != replacementChar ? units[0] : 0;
}

std::size_t Codec::decodeWithFacet(const char* from, const char* end, wchar_t& out) const {
  // One character is never longer than this; libc++'s facet looks at all it is given, so
  // a long rest of input would make every character cost as much as the rest.
  end = from + std::min(end - from, static_cast<std::ptrdiff_t>(facet_->max_length()));
  std::mbstate_t state{};
  const char* fromNext = from;
  wchar_t* toNext = &out;
  const auto result = facet_->in(state, from, end, fromNext, &out, &out + 1, toNext);
  // "partial" can also mean the one-character output is full: judge by what was produced.
  if (toNext == &out + 1 && fromNext > from) {
    return static_cast<std::size_t>(fromNext - from);
  }
  if (result == std::codecvt_base::partial && end - from < facet_->max_length()) {
    return 0;
  }
  out = replacementChar;
  return 1;
}

char* Codec::encode(std::wstring_view text, char* out) const {
  switch (kind_) {
  case Kind::utf8:
    return utf8::encode(text, out);
  case Kind::singleByte:
    for (std::size_t i = 0; i < text.size(); ++i) {
      const wchar_t c = text[i];
      const int byte = byteFor(c);
      *out++ = byte >= 0 ? static_cast<char>(byte) : '?';
      // A character of two units is one character that the encoding lacks.
      if (byte < 0 && isHighSurrogate(valueOf(c)) && i + 1 < text.size() &&
          isLowSurrogate(valueOf(text[i + 1]))) {
        ++i;
      }
    }
    return out;
  case Kind::facet:
    break;
  }
  return encodeWithFacet(text, out);
}

void Codec::encode(std::wstring_view text, std::string& out) const {
  const std::size_t start = out.size();
  out.resize(start + maxEncodedLength(text.size()));
  out.resize(static_cast<std::size_t>(encode(text, out.data() + start) - out.data()));
}

int Codec::byteFor(wchar_t c) const {
  const char32_t value = valueOf(c);
  return value > 0xFFFF ? -1 : bytePages_[pageOf_[value >> 8]][value & 0xFF];
}

char* Codec::encodeWithFacet(std::wstring_view text, char* out) const {
  const wchar_t* from = text.data();
  const wchar_t* const end = from + text.size();
  while (from != end) {
    std::mbstate_t state{};
    const wchar_t* fromNext = from;
    char* toNext = out;
    facet_->out(state, from, end, fromNext, out, out + maxEncodedLength(text.size()), toNext);
    out = toNext;
    if (fromNext == from) {
      *out++ = '?';  // a character this encoding lacks
      ++fromNext;
    }
    from = fromNext;
  }
  return out;
}

bool Codec::canEncode(wchar_t c) const {
  switch (kind_) {
  case Kind::utf8:
    return isUnicodeScalar(valueOf(c));
  case Kind::singleByte:
    return byteFor(c) >= 0;
  case Kind::facet:
    break;
  }
  std::string bytes(maxEncodedLength(1), '\0');
  const char* end = encodeWithFacet(std::wstring_view(&c, 1), bytes.data());
  wchar_t back = 0;
  return decodeWithFacet(bytes.data(), end, back) == static_cast<std::size_t>(end - bytes.data()) &&
         back == c;
}

bool Codec::canEncodeCyrillic() const {
  for (wchar_t c = firstCyrillic; c <= lastCyrillic; ++c) {
    if (!canEncode(c)) {
      return false;
    }
  }
  return true;
}

}  // namespace console
