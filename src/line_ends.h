// Line ends as text mode writes them on Windows: each newline as CR LF.
#pragma once

#include <string>
#include <string_view>

// Appends `text` to `out` with a CR before each newline.
inline void appendWithCrLf(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + text.size() / 8);
  for (const char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
}
