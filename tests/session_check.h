// One whole program session over arbitrary input, with the properties every session must
// keep: shared by the fuzzer and by the test that replays its corpus.
#pragma once

#include <string>
#include <string_view>

namespace testing_support {

// Runs the menu loop over `input` under the named locale, in the current directory, until
// item 9 or the end of the input. Returns what the program wrote.
std::string runSession(std::string_view input, const char* localeName);

// An empty string when `output` decodes cleanly in `charset` and starts with the menu;
// otherwise what is wrong with it.
std::string checkOutput(std::string_view output, const char* charset);

}  // namespace testing_support
