#include "console_conventions.h"

#include <optional>
#include <string>
#include <utility>

#include "console_platform.h"
#include "integer_io.h"

namespace console {

namespace {

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
  return withPunctuation(user, wide.decimal_point(), separator, std::move(grouping));
}

}  // namespace

Conventions conventionsFor(const std::locale& user) {
  Codec userCodec = platform::textEncoding(user);
  Codec codec = userCodec.canEncodeCyrillic() ? std::move(userCodec) : Codec::utf8();
  std::locale locale = withConstantMemoryReading(withShowableSeparator(user, codec));
  return {std::move(codec), locale};
}

}  // namespace console
