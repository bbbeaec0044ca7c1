// Whole sessions and file loads over arbitrary input, checked against a small model of the
// menu items: shared by the fuzzers and by the test that replays their corpora.
#pragma once

#include <string>
#include <string_view>

namespace testing_support {

// The locales the fuzzers and the corpus replay run under: UTF-8, two single-byte tables and
// an encoding that goes through the locale's own conversion facet.
inline constexpr const char* fuzzLocales[] = {"ru_RU.UTF-8", "ru_RU.CP1251", "ru_RU.KOI8-R",
                                              "ja_JP.EUC-JP"};

// Runs the menu loop over `input` under the named locale in the current directory (which
// must hold no matrix.txt), one turn at a time. Each turn is
// checked against a model: B changes only through the row check and holds 0 or 1; the row
// check and the sorts do what they say; a load gives back what the last successful save
// wrote, and fails to open before any save; A changes only through entry, sorting and
// loading. The whole output must decode in the console's charset and start with the menu.
// Returns an empty string, or what went wrong first.
std::string checkSession(std::string_view input, const char* localeName);

// Loads `bytes` as matrix.txt from the current directory under the named locale: a failed
// load must leave A as it was, a successful one must survive a save and a second load.
// Returns an empty string, or what went wrong.
std::string checkFileLoad(std::string_view bytes, const char* localeName);

}  // namespace testing_support
