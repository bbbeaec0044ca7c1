// Integers read and written under the console's locale exactly as the standard facets do,
// but reading in constant memory whatever a number's length, and writing a table row in
// one pass.
#pragma once

#include <ios>
#include <limits>
#include <locale>
#include <string>

namespace console {

// `loc` with a num_get<wchar_t> whose integer extraction gives libstdc++'s results: the same
// values, the same failures (grouping, overflow, a lone sign) with the same values stored,
// the same characters consumed. libstdc++'s own keeps a byte for every digit group of the
// number it reads, so a long grouped number costs memory in proportion to its length; this
// one keeps at most the length of the locale's grouping rule.
std::locale withConstantMemoryReading(const std::locale& loc);

// `base` with a numpunct<wchar_t> of the given decimal point, digit-group separator and
// grouping rule (as numpunct::grouping() spells it; empty for no grouping).
std::locale withPunctuation(const std::locale& base, wchar_t decimalPoint, wchar_t separator,
                            std::string grouping);

// How a wide stream writes integers, fetched once from its locale and fill character, for
// any number of values. Only the default flags are followed: decimal, right-aligned.
class IntegerFormat {
 public:
  explicit IntegerFormat(const std::wios& stream);

  // The format of `stream`, fetched again only when its locale or fill character differs
  // from the last call's. The reference holds until the next call.
  static const IntegerFormat& of(const std::wios& stream);

  // The most characters write() writes for one value in a field of `width`.
  static constexpr std::size_t longest(std::size_t width) {
    return width > longestText ? width : longestText;
  }

  // Writes `value` at `out` exactly as `stream << std::setw(width) << value` would, and
  // returns the end of what it wrote.
  wchar_t* write(wchar_t* out, long value, std::size_t width) const;

 private:
  // The digits of the largest magnitude, a separator after each but the last, and a sign.
  static constexpr std::size_t longestText =
      std::size_t{2} * (std::numeric_limits<unsigned long>::digits10 + 1);

  std::size_t separatorsIn(std::size_t digits) const;

  std::string grouping_;    // empty when the locale does not group digits
  std::size_t firstGroup_;  // no separator in a number of this many digits or fewer
  wchar_t separator_;
  wchar_t digits_[10] = {};
  wchar_t minus_;
  wchar_t fill_;
  std::locale locale_;
};

}  // namespace console
