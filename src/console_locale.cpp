#include "console_locale.h"

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

// The locale's narrow separator as a character that `codec` shows as that same character,
// or 0 when there is none.
wchar_t narrowSeparatorShown(const std::locale& user, const Codec& codec) {
  const auto& narrow = std::use_facet<std::numpunct<char>>(user);
  if (narrow.grouping().empty()) {
    return 0;
  }
  const char byte = narrow.thousands_sep();
  const std::optional<Codec> numeric = platform::numericEncoding(user);
  const wchar_t meaning = numeric ? numeric->decodeByte(byte) : 0;
  if (meaning == 0 || codec.decodeByte(byte) != meaning || !codec.canEncode(meaning) ||
      std::isspace(meaning, user)) {
    return 0;
  }
  return meaning;
}

std::locale withShowableSeparator(const std::locale& user, const Codec& codec) {
  const auto& wide = std::use_facet<std::numpunct<wchar_t>>(user);
  std::string grouping = wide.grouping();
  if (grouping.empty()) {
    return user;
  }
  // A white-space separator would join numbers that the user typed apart.
  const bool spaced = std::isspace(wide.thousands_sep(), user);
  if (!spaced && codec.canEncode(wide.thousands_sep())) {
    return user;
  }
  wchar_t separator = spaced ? 0 : narrowSeparatorShown(user, codec);
  if (separator == 0) {
    grouping.clear();
    separator = wide.thousands_sep();
  }
  return {user, new ConsoleNumpunct(wide, separator, grouping)};
}

}  // namespace

ConsoleLocale consoleLocale(const std::locale& user) {
  Codec userCodec = platform::textEncoding(user);
  Codec codec = userCodec.canEncodeCyrillic() ? std::move(userCodec) : Codec::utf8();
  std::locale locale = withConstantMemoryReading(withShowableSeparator(user, codec));
  return {std::move(codec), locale};
}

}  // namespace console
