// What the user locale on POSIX systems shares with the diagnosis of a locale that does not
// load, which each C library needs its own of (user_locale_glibc.cpp).
#pragma once

#include <locale.h>  // NOLINT(modernize-deprecated-headers): POSIX newlocale
#if __has_include(<xlocale.h>)
#include <xlocale.h>  // macOS declares newlocale and the *_l calls here
#endif

#include <string>

namespace console {

// Whether the categories `mask` of the locale `name` load now.
bool loads(const std::string& name, int mask = LC_ALL_MASK);

// A name from the environment as it may be shown on a terminal: bytes outside printable
// ASCII (an escape sequence, say) as \xHH, and the backslash doubled.
std::string shown(const std::string& name);

// The value of the environment variable `name`; empty where it is not set.
std::string variable(const char* name);

// Why the locale `name`, which does not load, does not: the rest of the warning's line that
// names it.
std::string whyNotLoaded(const std::string& name);

}  // namespace console
