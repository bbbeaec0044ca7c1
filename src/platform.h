// The boundary between the console layer and each platform's console file
// (console_posix.cpp, console_windows.cpp): what the platform file provides, and what the
// shared part gives it back.
#pragma once

#include <locale>
#include <optional>

#include "codec.h"

namespace console::platform {

// The encoding of the user's texts under `user`.
Codec textEncoding(const std::locale& user);

// The encoding in which `user`'s narrow numeric punctuation is written, where it can be told.
// It differs from textEncoding() when the numeric conventions come from another locale.
std::optional<Codec> numericEncoding(const std::locale& user);

}  // namespace console::platform

namespace console {

class Console;

// From console.cpp, for both platforms' finishStandardConsole(): writes what `console` holds
// pending and returns the program's exit status: EXIT_FAILURE, with one line on standard
// error, when any output was lost or the standard output was closed at start.
int exitStatus(Console& console, bool outputClosedAtStart);

}  // namespace console
