// What each platform supplies to the console: the user's locale and its encodings, the
// process's set-up, and the standard input and output. user_locale_posix.cpp with
// console_posix.cpp, or user_locale_windows.cpp with console_windows.cpp, implement it;
// console.cpp and console_conventions.cpp use it. Nothing here calls back up into the console.
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

// The digit-group separator of `user`'s numeric conventions as the locale that gives them
// defines it, not as a C++ library widens or narrows it: the character; and where that
// locale writes it in one byte of its own encoding (which may differ from the texts'), the
// byte and the character it stands for there (0 and 0 otherwise). Nothing where there is no
// separator, or where it cannot be told (a locale made in the program, with no name).
struct NumericSeparator {
  wchar_t character;
  char byte;
  wchar_t byteMeans;
};
std::optional<NumericSeparator> numericSeparator(const std::locale& user);

// Readies the process before the console is made. On POSIX: a closed standard descriptor is
// opened on /dev/null (or, without one, on a placeholder), so that no file opened later takes
// its number; SIGPIPE and SIGXFSZ are ignored, so that a reader gone or a file-size limit
// makes a write fail instead of ending the program. Tells whether the standard output was
// closed at start (no handle at all, on Windows): nothing written can reach anyone then.
struct ProcessStart {
  bool outputClosed;
};
ProcessStart setUpProcess();

// The standard input and output, each converting with `codec` where the platform's console
// takes characters rather than bytes (a Windows console window). Never destroyed: the
// standard library flushes its streams after main returns.
byte_io::ByteSource& standardInput(const Codec& codec);
byte_io::ByteSink& standardOutput(const Codec& codec);

}  // namespace console::platform
