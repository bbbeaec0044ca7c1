// What each platform supplies to the console: the user's locale and its encodings, the
// process's set-up, and the standard input and output. user_locale_posix.cpp with
// console_posix.cpp, or user_locale_windows.cpp with console_windows.cpp, implement it;
// console.cpp and console_locale.cpp use it. Nothing here calls back up into the console.
#pragma once

#include <locale>
#include <memory>
#include <optional>

#include "byte_io.h"
#include "codec.h"

namespace console::platform {

// The user's locale from the environment (POSIX: LANG, LC_*) or the system's settings
// (Windows). On POSIX a locale that cannot be loaded gives the classic locale, with a
// warning on standard error that names it and says why.
std::locale userLocale();

// The encoding of the user's texts under `user`.
Codec textEncoding(const std::locale& user);

// The encoding in which `user`'s narrow numeric punctuation is written, where it can be told.
// It differs from textEncoding() when the numeric conventions come from another locale.
std::optional<Codec> numericEncoding(const std::locale& user);

// Readies the process before the console is made. On POSIX: a closed standard descriptor is
// opened on /dev/null (or, without one, on a placeholder), so that no file opened later takes
// its number; SIGPIPE and SIGXFSZ are ignored, so that a reader gone or a file-size limit
// makes a write fail instead of ending the program. Returns whether the standard output was
// closed at start (no handle at all, on Windows).
bool setUpProcess();

// The standard input and output, each converting with `codec` where the platform's console
// takes characters rather than bytes (a Windows console window). Never destroyed: the
// standard library flushes its streams after main returns.
ByteSource& standardInput(const Codec& codec);
ByteSink& standardOutput(const Codec& codec);

}  // namespace console::platform
