// The user's locale on Windows, from the Win32 NLS API (MinGW's C++ library knows only the
// "C" locale): the number conventions of the user's locale, the white space of Linux, and
// the ANSI code page as the encoding of texts and numbers.
// Windows' min and max macros would stand in for std::min and std::max.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <array>
#include <climits>
#include <string>

#include "console_platform.h"
#include "integer_io.h"

namespace console {

namespace {

// The ANSI code page as a codec: a table for a single-byte page, UTF-8 for the UTF-8 one and
// for multi-byte pages, which the program has no table for.
Codec codePageCodec(UINT codePage) {
  CPINFO info{};
  if (codePage == CP_UTF8 || GetCPInfo(codePage, &info) == 0 || info.MaxCharSize != 1) {
    return Codec::utf8();
  }
  std::array<wchar_t, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    const char in = static_cast<char>(byte);
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &in, 1, &table[byte], 1) != 1) {
      table[byte] = replacementChar;
    }
  }
  return Codec::singleByte(table);
}

// White space as glibc classifies it. The Windows C runtime also calls U+00A0 (no-break
// space) white space; here it is not, so that ru-RU groups digits with it and a no-break
// space before a number is an invalid token, as on Linux.
bool isSpace(wchar_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1680 || (c >= 0x2000 && c <= 0x2006) ||
         (c >= 0x2008 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x205F || c == 0x3000;
}

class ConsoleCtype final : public std::ctype<wchar_t> {
 protected:
  bool do_is(mask m, char_type c) const override {
    const auto others = static_cast<mask>(m & ~space);
    return (others != 0 && std::ctype<wchar_t>::do_is(others, c)) ||
           ((m & space) != 0 && isSpace(c));
  }
  const char_type* do_is(const char_type* low, const char_type* high, mask* vec) const override {
    std::ctype<wchar_t>::do_is(low, high, vec);
    for (; low != high; ++low, ++vec) {
      *vec = static_cast<mask>(isSpace(*low) ? *vec | space : *vec & ~space);
    }
    return high;
  }
  const char_type* do_scan_is(mask m, const char_type* low, const char_type* high) const override {
    while (low != high && !do_is(m, *low)) {
      ++low;
    }
    return low;
  }
  const char_type* do_scan_not(mask m, const char_type* low, const char_type* high) const override {
    while (low != high && do_is(m, *low)) {
      ++low;
    }
    return low;
  }
};

// LOCALE_SGROUPING as the C++ library writes grouping: "3;0" repeats groups of 3 ("\3"),
// "3;2;0" is 3 then 2 repeating ("\3\2"), "3" is one group of 3 and no more ("\3\x7F").
std::string cppGrouping(const std::wstring& nls) {
  std::string grouping;
  int size = 0;
  for (const wchar_t c : nls + L';') {
    if (c >= L'0' && c <= L'9') {
      size = size * 10 + (c - L'0');
    } else if (c == L';') {
      grouping += static_cast<char>(size);
      size = 0;
    }
  }
  if (!grouping.empty() && grouping.back() == 0) {
    grouping.pop_back();
  } else if (!grouping.empty()) {
    grouping += static_cast<char>(CHAR_MAX);
  }
  return grouping.empty() || grouping[0] == 0 ? std::string() : grouping;
}

std::wstring localeInfo(const wchar_t* locale, LCTYPE type) {
  wchar_t value[32] = {};
  return GetLocaleInfoEx(locale, type, value, 32) > 0 ? value : L"";
}

}  // namespace

// The user's number conventions, and the white space of Linux.
std::locale platform::userLocale() {
  const std::locale base(std::locale::classic(), new ConsoleCtype);
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) == 0) {
    return base;
  }
  const std::wstring separator = localeInfo(name, LOCALE_STHOUSAND);
  const std::wstring decimalPoint = localeInfo(name, LOCALE_SDECIMAL);
  // A separator of more than one character cannot be a wide stream's: no grouping then.
  const std::string grouping =
      separator.size() == 1 ? cppGrouping(localeInfo(name, LOCALE_SGROUPING)) : "";
  return withPunctuation(base, decimalPoint.size() == 1 ? decimalPoint[0] : L'.',
                         separator.size() == 1 ? separator[0] : L',', grouping);
}

Codec platform::textEncoding(const std::locale& /*user*/) { return codePageCodec(GetACP()); }

// The user's own numpunct (see userLocale()) holds the separator the NLS settings give.
std::optional<platform::NumericSeparator> platform::numericSeparator(const std::locale& user) {
  const auto& punct = std::use_facet<std::numpunct<wchar_t>>(user);
  if (punct.grouping().empty()) {
    return std::nullopt;
  }
  return NumericSeparator{punct.thousands_sep(), 0, 0};
}

}  // namespace console
