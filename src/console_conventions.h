// The user's locale as the console uses it: the encoding its texts are shown in, and number
// conventions whose digit-group separator that encoding can show.
#pragma once

#include <locale>

#include "codec.h"

namespace console {

struct Conventions {
  // The user's encoding where it has the Cyrillic letters of the texts, UTF-8 otherwise.
  Codec codec;
  // The user's locale, but for the digit-group separator: glibc's ru_RU gives U+202F, which
  // CP1251 and KOI8-R lack; there the locale's own narrow separator (a no-break space) is
  // used, and where no separator fits, numbers go ungrouped. Integers are read in constant
  // memory (withConstantMemoryReading).
  std::locale locale;
};

// The console's variant of the user's locale `user`: the encoding from the platform's
// textEncoding(), UTF-8 where that lacks the Cyrillic letters; the numeric conventions of
// `user` with a separator that encoding can show (see `locale` above).
Conventions conventionsFor(const std::locale& user);

}  // namespace console
