// The integer reader and the row formatter against the standard facets, over generated input.
#include "integer_io.h"

#include <climits>
#include <iomanip>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec.h"
#include "console_conventions.h"
#include "gtest/gtest.h"
#ifndef _WIN32
#include "fake_console.h"
#endif

namespace {

struct NumberCase {
  std::string name;
  std::locale base;  // with the standard facets
};

// The console's locales, and grouping rules that cross every branch of the grouping check:
// one size, two sizes, three, a zero and CHAR_MAX that stop the grouping.
std::vector<NumberCase> numberCases() {
  std::vector<NumberCase> all;
#ifndef _WIN32  // MinGW's C++ library knows no locale but "C"
  for (const char* name : {"ru_RU.UTF-8", "ru_RU.CP1251", "en_US.UTF-8", "C"}) {
    const std::locale console = console::conventionsFor(testing_support::namedLocale(name)).locale;
    all.push_back({name, std::locale(console, new std::num_get<wchar_t>)});
  }
#endif
  for (const std::string rule : {"\3", "\3\2", "\1\2\3", "\2\0", "\3\x7F", "\x7F", "\xFF\3"}) {
    all.push_back({"rule of " + std::to_string(rule.size()) + " sizes, first " +
                       std::to_string(static_cast<int>(static_cast<signed char>(rule[0]))),
                   console::withPunctuation(std::locale::classic(), L'.', L'_', rule)});
  }
  return all;
}

std::vector<std::wstring> tokens(wchar_t separator, wchar_t point) {
  const std::wstring alphabet = {L'0', L'1',  L'9', separator, L'-',
                                 L'+', point, L'x', L' ',      console::replacementChar};
  std::vector<std::wstring> all = {L""};
  for (std::size_t from = 0, length = 1; length <= 4; ++length) {  // every string up to 4
    const std::size_t to = all.size();
    for (std::size_t k = from; k < to; ++k) {
      for (const wchar_t c : alphabet) {
        all.push_back(all[k] + c);
      }
    }
    from = to;
  }
  std::minstd_rand random(7);
  const std::wstring likely = L"0000111999" + std::wstring(4, separator) + L"-+";
  for (int k = 0; k < 3000; ++k) {  // longer ones, mostly digits and separators
    std::wstring token(random() % 60 + 5, L'0');
    for (auto& c : token) {
      c = random() % 8 == 0 ? alphabet[random() % alphabet.size()]
                            : likely[random() % likely.size()];
    }
    all.push_back(token);
  }
  const auto grouped = [separator](const std::wstring& digits, std::size_t size) {
    std::wstring out;
    for (std::size_t k = 0; k < digits.size(); ++k) {
      if (k > 0 && (digits.size() - k) % size == 0) {
        out += separator;
      }
      out += digits[k];
    }
    return out;
  };
  for (const std::wstring limit :
       {L"9223372036854775807", L"9223372036854775808", L"18446744073709551616", L"2147483647",
        L"2147483648", L"99999999999999999999999999"}) {
    for (const std::wstring sign : {L"", L"-", L"+"}) {
      for (const std::wstring zeros : {L"", L"000"}) {
        all.push_back(sign + zeros + limit);
        all.push_back(sign + grouped(zeros + limit, 3));
        all.push_back(sign + grouped(zeros + limit, 2));
      }
    }
  }
  // Long ones: many groups, and groups too long for the char that libstdc++ counts them in.
  all.push_back(grouped(L"0" + std::wstring(600, L'0'), 3));
  all.push_back(L"1" + std::wstring(1, separator) + std::wstring(300, L'0'));
  all.push_back(std::wstring(300, L'0') + separator + L"000");
  all.push_back(std::wstring(130, L'9') + separator + L"999");
  all.push_back(L"-" + grouped(std::wstring(200, L'1'), 3) + L" 5");
  return all;
}

struct Read {
  long value;
  std::ios_base::iostate state;
  std::wstring rest;
  bool operator==(const Read&) const = default;
};

Read readWith(const std::locale& loc, const std::wstring& text) {
  std::wistringstream in(text);
  in.imbue(loc);
  Read read{12345, std::ios_base::goodbit, {}};
  const auto next = std::use_facet<std::num_get<wchar_t>>(loc).get(
      std::istreambuf_iterator<wchar_t>(in), {}, in, read.state, read.value);
  read.rest.assign(next, std::istreambuf_iterator<wchar_t>());
  return read;
}

TEST(NumberReading, GivesTheStandardFacetsResultsForEveryToken) {
#ifdef _LIBCPP_VERSION
  GTEST_SKIP() << "the oracle is GNU's num_get, which the reader follows step for step; "
                  "libc++'s own differs (a lone separator, for one)";
#endif
  for (const auto& c : numberCases()) {
    const std::locale ours = console::withConstantMemoryReading(c.base);
    const auto& punct = std::use_facet<std::numpunct<wchar_t>>(c.base);
    int differences = 0;
    for (const auto& token : tokens(punct.thousands_sep(), punct.decimal_point())) {
      const Read wanted = readWith(c.base, token);
      const Read got = readWith(ours, token);
      if (got != wanted && ++differences <= 5) {
        ADD_FAILURE() << c.name << ": \"" << testing::PrintToString(token) << "\" gave "
                      << got.value << " state " << got.state << ", the standard " << wanted.value
                      << " state " << wanted.state;
      }
    }
    EXPECT_EQ(differences, 0) << c.name;
  }
}

TEST(IntegerFormat, WritesWhatTheStandardFacetWrites) {
  std::vector<long> values = {0,    1,      -1,      9,       -9,      10,       999,     -1000,
                              1234, 100000, 1000000, INT_MIN, INT_MAX, LONG_MIN, LONG_MAX};
  std::minstd_rand random(11);
  for (int k = 0; k < 500; ++k) {
    const long magnitude = static_cast<long>(random()) >> (random() % 31);
    values.push_back(k % 2 == 0 ? magnitude : -magnitude);
  }
  for (const auto& c : numberCases()) {
    for (const wchar_t fill : {L' ', L'*'}) {
      std::wostringstream stream;
      stream.imbue(c.base);
      stream.fill(fill);
      // A new locale or fill each time round: of() must see the change.
      const console::IntegerFormat& format = console::IntegerFormat::of(stream);
      for (const long value : values) {
        for (const std::size_t width : {0U, 1U, 5U, 30U}) {
          std::wostringstream wanted;
          wanted.imbue(c.base);
          wanted.fill(fill);
          wanted << std::setw(static_cast<int>(width)) << value;
          wchar_t written[64];
          const std::wstring got(written, format.write(written, value, width));
          EXPECT_EQ(got, wanted.str())
              << c.name << ", " << value << ", width " << width << ", fill '" << char(fill) << "'";
        }
      }
    }
  }
}

}  // namespace
