#include "console_conventions.h"

#include <optional>
#include <string>
#include <utility>

#include "console_platform.h"
#include "integer_io.h"

namespace console {

namespace {

// numpunct<wchar_t> with the separator and grouping chosen for the console.
class ConsoleNumpunct final : public std::numpunct<wchar_t> {
 public:
  ConsoleNumpunct(const std::numpunct<wchar_t>& base, wchar_t separator, std::string grouping)
      : decimalPoint_(base.decimal_point()),
        separator_(separator),
        grouping_(std::move(grouping)),
        trueName_(base.truename()),
        falseName_(base.falsename()) {}

 protected:
  wchar_t do_decimal_point() const override { return decimalPoint_; }
  wchar_t do_thousands_sep() const override { return separator_; }
  std::string do_grouping() const override { return grouping_; }
  std::wstring do_truename() const override { return trueName_; }
  std::wstring do_falsename() const override { return falseName_; }

 private:
  wchar_t decimalPoint_;
  wchar_t separator_;
  std::string grouping_;
  std::wstring trueName_;
  std::wstring falseName_;
};

// The character the console groups digits with, or 0 for none: the separator the locale
// defines, where `codec` can show it; else its one-byte form, where that byte stands for the
// same character in the console's encoding as in the locale's own. Never white space, which
// would join numbers that the user typed apart.
wchar_t shownSeparator(const std::locale& user, const Codec& codec) {
  const std::optional<platform::NumericSeparator> separator = platform::numericSeparator(user);
  if (!separator || std::isspace(separator->character, user)) {
    return 0;
  }
  if (codec.canEncode(separator->character)) {
    return separator->character;
  }
  const wchar_t means = separator->byteMeans;
  const bool shown = means != 0 && codec.decodeByte(separator->byte) == means &&
                     codec.canEncode(means) && !std::isspace(means, user);
  return shown ? means : 0;
}

// The separator and grouping decided from the locale's own definition, not from how a C++
// library widens or narrows its punctuation, so that every library shows numbers alike.
std::locale withShowableSeparator(const std::locale& user, const Codec& codec) {
  const auto& wide = std::use_facet<std::numpunct<wchar_t>>(user);
  std::string grouping = wide.grouping();
  if (grouping.empty()) {
    return user;
  }
  wchar_t separator = shownSeparator(user, codec);
  if (separator == 0) {
    grouping.clear();
    separator = wide.thousands_sep();
  }
  return {user, new ConsoleNumpunct(wide, separator, grouping)};
}

}  // namespace

Conventions conventionsFor(const std::locale& user) {
  Codec userCodec = platform::textEncoding(user);
  Codec codec = userCodec.canEncodeCyrillic() ? std::move(userCodec) : Codec::utf8();
  std::locale locale = withConstantMemoryReading(withShowableSeparator(user, codec));
  return {std::move(codec), locale};
}

}  // namespace console
