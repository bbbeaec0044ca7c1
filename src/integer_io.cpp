#include "integer_io.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

namespace console {

namespace {

// libstdc++'s test for a grouping rule that groups at all.
bool groups(const std::string& rule) {
  return !rule.empty() && static_cast<signed char>(rule[0]) > 0 && rule[0] != CHAR_MAX;
}

// The sizes of a number's digit groups as far as the check of the grouping rule needs them:
// the first, the last few (one fewer than the rule is long), and whether every one between
// had the rule's last size. The check is libstdc++'s __verify_grouping.
class GroupSizes {
 public:
  static constexpr std::size_t capacity = 16;  // longer rules are left to the standard facet

  explicit GroupSizes(const std::string& rule)
      : rule_(rule), kept_(rule.empty() ? 0 : rule.size() - 1) {}

  bool empty() const { return count_ == 0; }

  void push(char size) {
    if (count_++ == 0) {
      first_ = size;
    } else if (kept_ == 0) {
      between_ = between_ && size == rule_[0];
    } else {
      if (count_ - 1 > kept_) {  // the oldest kept size moves between
        between_ = between_ && last_[next_] == rule_[kept_];
      }
      last_[next_] = size;
      next_ = (next_ + 1) % kept_;
    }
  }

  bool matchRule() const {
    const std::size_t after = count_ - 1;  // groups after the first
    const std::size_t exact = std::min(after, kept_);
    for (std::size_t j = 0; j < exact; ++j) {
      if (last_[(next_ + kept_ - 1 - j) % kept_] != rule_[j]) {
        return false;
      }
    }
    const char limit = rule_[exact];
    const bool limited = static_cast<signed char>(limit) > 0 && limit != CHAR_MAX;
    return between_ && (!limited || first_ <= limit);
  }

 private:
  const std::string& rule_;
  std::size_t kept_;
  std::size_t count_ = 0;
  char first_ = 0;
  char last_[capacity] = {};
  std::size_t next_ = 0;
  bool between_ = true;
};

class ConstantMemoryNumGet final : public std::num_get<wchar_t> {
 public:
  explicit ConstantMemoryNumGet(const std::locale& base)
      : base_(base),
        punct_(std::use_facet<std::numpunct<wchar_t>>(base_)),
        rule_(punct_.grouping()),
        grouped_(groups(rule_)),
        separator_(punct_.thousands_sep()),
        decimalPoint_(punct_.decimal_point()) {
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(base_);
    minus_ = ctype.widen('-');
    plus_ = ctype.widen('+');
    zero_ = ctype.widen('0');
    bool contiguous = true;
    for (char digit = '1'; digit <= '9'; ++digit) {
      contiguous = contiguous && ctype.widen(digit) == zero_ + (digit - '0');
    }
    serves_ = contiguous && rule_.size() <= GroupSizes::capacity + 1;
  }

 protected:
  iter_type do_get(iter_type in, iter_type end, std::ios_base& io, std::ios_base::iostate& err,
                   long& value) const override;

 private:
  // Whether `io` reads in decimal with the punctuation this facet was made for. (Its
  // character classes come with the punctuation: only a locale made on purpose could part
  // them.)
  bool servesAsIs(const std::ios_base& io) const {
    return serves_ && (io.flags() & std::ios_base::basefield) == std::ios_base::dec &&
           &std::use_facet<std::numpunct<wchar_t>>(io.getloc()) == &punct_;
  }

  std::locale base_;  // keeps punct_ alive
  const std::numpunct<wchar_t>& punct_;
  std::string rule_;
  bool grouped_;
  wchar_t separator_;
  wchar_t decimalPoint_;
  wchar_t minus_ = 0;
  wchar_t plus_ = 0;
  wchar_t zero_ = 0;
  bool serves_ = false;
};

// libstdc++'s _M_extract_int for a decimal long, step for step, but for the group sizes.
ConstantMemoryNumGet::iter_type ConstantMemoryNumGet::do_get(iter_type in, iter_type end,
                                                             std::ios_base& io,
                                                             std::ios_base::iostate& err,
                                                             long& value) const {
  if (!servesAsIs(io)) {
    return std::num_get<wchar_t>::do_get(in, end, io, err, value);
  }
  const auto isSeparator = [this](wchar_t c) { return grouped_ && c == separator_; };
  bool ended = in == end;
  wchar_t c = 0;
  bool negative = false;
  if (!ended) {
    c = *in;
    negative = c == minus_;
    if ((negative || c == plus_) && !isSeparator(c) && c != decimalPoint_) {
      ended = ++in == end;
      c = ended ? c : *in;
    }
  }
  // Leading zeros count towards the first group.
  bool foundZero = false;
  int groupLength = 0;
  while (!ended && !isSeparator(c) && c != decimalPoint_ && c == zero_) {
    foundZero = true;
    ++groupLength;
    ended = ++in == end;
    c = ended ? c : *in;
  }
  using Limits = std::numeric_limits<long>;
  const unsigned long max = negative ? 0 - static_cast<unsigned long>(Limits::min())
                                     : static_cast<unsigned long>(Limits::max());
  const unsigned long beforeLastDigit = max / 10;
  unsigned long result = 0;
  bool overflow = false;
  bool misplacedSeparator = false;
  GroupSizes sizes(rule_);
  while (!ended) {
    if (isSeparator(c)) {
      if (groupLength == 0) {  // at the start, or right after another separator
        misplacedSeparator = true;
        break;
      }
      sizes.push(static_cast<char>(groupLength));
      groupLength = 0;
    } else {
      const auto digit = static_cast<unsigned long>(c - zero_);
      if (c == decimalPoint_ || digit > 9) {
        break;
      }
      if (result > beforeLastDigit) {
        overflow = true;  // and the digit no longer counts towards its group
      } else {
        result *= 10;
        overflow = overflow || result > max - digit;
        result += digit;
        ++groupLength;
      }
    }
    ended = ++in == end;
    c = ended ? c : *in;
  }
  if (!sizes.empty()) {
    sizes.push(static_cast<char>(groupLength));
    if (!sizes.matchRule()) {
      err = std::ios_base::failbit;
    }
  }
  if ((groupLength == 0 && !foundZero && sizes.empty()) || misplacedSeparator) {
    value = 0;
    err = std::ios_base::failbit;
  } else if (overflow) {
    value = negative ? Limits::min() : Limits::max();
    err = std::ios_base::failbit;
  } else {
    value = static_cast<long>(negative ? 0 - result : result);
  }
  if (ended) {
    err |= std::ios_base::eofbit;
  }
  return in;
}

// numpunct<wchar_t> with the punctuation it is given.
class Punctuation final : public std::numpunct<wchar_t> {
 public:
  Punctuation(wchar_t decimalPoint, wchar_t separator, std::string grouping)
      : decimalPoint_(decimalPoint), separator_(separator), grouping_(std::move(grouping)) {}

 protected:
  wchar_t do_decimal_point() const override { return decimalPoint_; }
  wchar_t do_thousands_sep() const override { return separator_; }
  std::string do_grouping() const override { return grouping_; }

 private:
  wchar_t decimalPoint_;
  wchar_t separator_;
  std::string grouping_;
};

}  // namespace

std::locale withConstantMemoryReading(const std::locale& loc) {
  return {loc, new ConstantMemoryNumGet(loc)};
}

std::locale withPunctuation(const std::locale& base, wchar_t decimalPoint, wchar_t separator,
                            std::string grouping) {
  return {base, new Punctuation(decimalPoint, separator, std::move(grouping))};
}

IntegerFormat::IntegerFormat(const std::wios& stream)
    : fill_(stream.fill()), locale_(stream.getloc()) {
  const auto& punct = std::use_facet<std::numpunct<wchar_t>>(locale_);
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(locale_);
  grouping_ = punct.grouping();
  if (!groups(grouping_)) {
    grouping_.clear();
  }
  firstGroup_ = grouping_.empty() ? std::numeric_limits<std::size_t>::max()
                                  : static_cast<std::size_t>(grouping_[0]);
  separator_ = punct.thousands_sep();
  const char digits[] = "0123456789";
  ctype.widen(digits, digits + 10, digits_);
  minus_ = ctype.widen('-');
}

// A table is shown again and again under one locale, and fetching the locale's conventions
// costs more than formatting the table.
const IntegerFormat& IntegerFormat::of(const std::wios& stream) {
  static std::optional<IntegerFormat> last;
  if (!last || last->fill_ != stream.fill() || last->locale_ != stream.getloc()) {
    last.emplace(stream);
  }
  return *last;
}

// Separators go where libstdc++'s __add_grouping puts them: counted from the right, after
// the rule's first size, then its second, and so on, the last size repeating, until a size
// of zero or less, or CHAR_MAX, ends the grouping.
std::size_t IntegerFormat::separatorsIn(std::size_t digits) const {
  std::size_t separators = 0;
  for (std::size_t rule = 0;
       digits > static_cast<std::size_t>(grouping_[rule]) &&
       static_cast<signed char>(grouping_[rule]) > 0 && grouping_[rule] != CHAR_MAX;
       rule += rule + 1 < grouping_.size() ? 1 : 0) {
    digits -= static_cast<std::size_t>(grouping_[rule]);
    ++separators;
  }
  return separators;
}

wchar_t* IntegerFormat::write(wchar_t* out, long value, std::size_t width) const {
  unsigned long magnitude =
      value > 0 ? static_cast<unsigned long>(value) : 0 - static_cast<unsigned long>(value);
  std::size_t digits = 1;
  for (unsigned long rest = magnitude; rest >= 10; rest /= 10) {
    ++digits;
  }
  std::size_t separators = digits > firstGroup_ ? separatorsIn(digits) : 0;
  // The text goes straight where it belongs: padding first, then the digits from the right.
  const std::size_t length = digits + separators + (value < 0 ? 1 : 0);
  if (width > length) {
    out = std::fill_n(out, width - length, fill_);
  }
  if (value < 0) {
    *out++ = minus_;
  }
  wchar_t* const end = out + digits + separators;
  wchar_t* at = end;
  std::size_t rule = 0;
  int inGroup = 0;
  while (separators > 0) {
    if (inGroup == grouping_[rule]) {
      *--at = separator_;
      --separators;
      inGroup = 0;
      rule += rule + 1 < grouping_.size() ? 1 : 0;
    }
    *--at = digits_[magnitude % 10];
    magnitude /= 10;
    ++inGroup;
  }
  for (; magnitude >= 10; magnitude /= 100) {  // the rest two digits at a time
    const auto pair = static_cast<std::size_t>(magnitude % 100);
    *--at = digits_[pair % 10];
    *--at = digits_[pair / 10];
  }
  if (at != out) {
    *--at = digits_[magnitude];
  }
  return end;
}

}  // namespace console
