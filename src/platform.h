// What each platform's console file (console_posix.cpp, console_windows.cpp) provides to the
// rest of the console layer.
#pragma once

#include <locale>
#include <optional>

#include "codec.h"

namespace console {
class Console;
}

namespace console::platform {

// The encoding of the user's texts under `user`.
Codec textEncoding(const std::locale& user);

// The encoding in which `user`'s narrow numeric punctuation is written, where it can be told.
// It differs from textEncoding() when the numeric conventions come from another locale.
std::optional<Codec> numericEncoding(const std::locale& user);

// Writes what `console` holds pending and returns the program's exit status: EXIT_FAILURE,
// with one line on standard error, when any output was lost or the standard output was
// closed at start.
int exitStatus(Console& console, bool outputClosedAtStart);

}  // namespace console::platform
