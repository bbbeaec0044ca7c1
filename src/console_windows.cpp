// The console over the process's standard handles on Windows.
//
// At a real console the texts go out through WriteConsoleW and come in through ReadConsoleW,
// so they show right whatever the console's code page. Redirected, they are bytes in the
// ANSI code page with the C runtime's text mode: each newline written as CR LF; in input a
// CR before LF dropped and Ctrl-Z the end. The user's locale comes from the Win32 NLS API:
// MinGW's C++ library knows only the "C" locale.
// Windows' min and max macros would stand in for std::min and std::max.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>
#include <optional>
#include <string>
#include <utility>

#include "console.h"
#include "platform.h"

namespace console {

namespace {

// The ANSI code page as a codec: a table for a single-byte page, UTF-8 for the UTF-8 one and
// for multi-byte pages, which the program has no table for.
Codec codePageCodec(UINT codePage) {
  CPINFO info{};
  if (codePage == CP_UTF8 || GetCPInfo(codePage, &info) == 0 || info.MaxCharSize != 1) {
    return Codec::utf8();
  }
  std::array<wchar_t, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    const char in = static_cast<char>(byte);
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &in, 1, &table[byte], 1) != 1) {
      table[byte] = replacementChar;
    }
  }
  return Codec::singleByte(table);
}

// White space as glibc classifies it. The Windows C runtime also calls U+00A0 (no-break
// space) white space; here it is not, so that ru-RU groups digits with it and a no-break
// space before a number is an invalid token, as on Linux.
bool isSpace(wchar_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1680 || (c >= 0x2000 && c <= 0x2006) ||
         (c >= 0x2008 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x205F || c == 0x3000;
}

class ConsoleCtype final : public std::ctype<wchar_t> {
 protected:
  bool do_is(mask m, char_type c) const override {
    const auto others = static_cast<mask>(m & ~space);
    return (others != 0 && std::ctype<wchar_t>::do_is(others, c)) ||
           ((m & space) != 0 && isSpace(c));
  }
  const char_type* do_is(const char_type* low, const char_type* high, mask* vec) const override {
    std::ctype<wchar_t>::do_is(low, high, vec);
    for (; low != high; ++low, ++vec) {
      *vec = static_cast<mask>(isSpace(*low) ? *vec | space : *vec & ~space);
    }
    return high;
  }
  const char_type* do_scan_is(mask m, const char_type* low, const char_type* high) const override {
    while (low != high && !do_is(m, *low)) {
      ++low;
    }
    return low;
  }
  const char_type* do_scan_not(mask m, const char_type* low, const char_type* high) const override {
    while (low != high && do_is(m, *low)) {
      ++low;
    }
    return low;
  }
};

class NlsNumpunct final : public std::numpunct<wchar_t> {
 public:
  NlsNumpunct(wchar_t decimalPoint, wchar_t separator, std::string grouping)
      : decimalPoint_(decimalPoint), separator_(separator), grouping_(std::move(grouping)) {}

 protected:
  wchar_t do_decimal_point() const override { return decimalPoint_; }
  wchar_t do_thousands_sep() const override { return separator_; }
  std::string do_grouping() const override { return grouping_; }

 private:
  wchar_t decimalPoint_;
  wchar_t separator_;
  std::string grouping_;
};

// LOCALE_SGROUPING as the C++ library writes grouping: "3;0" repeats groups of 3 ("\3"),
// "3;2;0" is 3 then 2 repeating ("\3\2"), "3" is one group of 3 and no more ("\3\x7F").
std::string cppGrouping(const std::wstring& nls) {
  std::string grouping;
  int size = 0;
  for (const wchar_t c : nls + L';') {
    if (c >= L'0' && c <= L'9') {
      size = size * 10 + (c - L'0');
    } else if (c == L';') {
      grouping += static_cast<char>(size);
      size = 0;
    }
  }
  if (!grouping.empty() && grouping.back() == 0) {
    grouping.pop_back();
  } else if (!grouping.empty()) {
    grouping += static_cast<char>(CHAR_MAX);
  }
  return grouping.empty() || grouping[0] == 0 ? std::string() : grouping;
}

std::wstring localeInfo(const wchar_t* locale, LCTYPE type) {
  wchar_t value[32] = {};
  return GetLocaleInfoEx(locale, type, value, 32) > 0 ? value : L"";
}

// The user's number conventions, and the white space of Linux.
std::locale userLocale() {
  const std::locale base(std::locale::classic(), new ConsoleCtype);
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) == 0) {
    return base;
  }
  const std::wstring separator = localeInfo(name, LOCALE_STHOUSAND);
  const std::wstring decimalPoint = localeInfo(name, LOCALE_SDECIMAL);
  // A separator of more than one character cannot be a wide stream's: no grouping then.
  const std::string grouping =
      separator.size() == 1 ? cppGrouping(localeInfo(name, LOCALE_SGROUPING)) : "";
  return {base, new NlsNumpunct(decimalPoint.size() == 1 ? decimalPoint[0] : L'.',
                                separator.size() == 1 ? separator[0] : L',', grouping)};
}

bool isConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

class HandleSource final : public ByteSource {
 public:
  explicit HandleSource(HANDLE handle)
      : handle_(handle),
        console_(isConsole(handle)),
        ended_(GetFileType(handle) == FILE_TYPE_UNKNOWN && !console_) {}

  void useCodec(const Codec& codec) { codec_ = &codec; }

  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    if (console_) {
      while (pending_.empty() && !ended_) {
        readConsole();
      }
      const std::size_t count = std::min(size, pending_.size());
      pending_.copy(buffer, count);
      pending_.erase(0, count);
      return static_cast<std::ptrdiff_t>(count);
    }
    return static_cast<std::ptrdiff_t>(readRedirected(buffer, size));
  }

  bool readyWithoutWaiting() override {
    if (ended_ || !pending_.empty() || rawPos_ != rawEnd_) {
      return true;
    }
    if (console_) {
      return false;
    }
    if (GetFileType(handle_) == FILE_TYPE_DISK) {
      return true;
    }
    // PeekNamedPipe fails where it cannot tell (Wine's Unix pipes): then a read could wait.
    DWORD available = 0;
    return PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr) != 0 && available > 0;
  }

 private:
  // The C runtime's text mode: a CR right before LF is dropped, Ctrl-Z ends the input.
  std::size_t readRedirected(char* out, std::size_t size) {
    std::size_t written = 0;
    while (written == 0 && !ended_) {
      if (rawPos_ == rawEnd_) {
        DWORD got = 0;
        if (ReadFile(handle_, raw_.data(), static_cast<DWORD>(raw_.size()), &got, nullptr) == 0 ||
            got == 0) {
          ended_ = true;  // the end of a pipe or a file, or a read error
          break;
        }
        rawPos_ = 0;
        rawEnd_ = got;
      }
      while (rawPos_ != rawEnd_ && written < size) {
        const char c = raw_[rawPos_];
        if (c == '\x1A') {
          ended_ = true;
          break;
        }
        if (heldReturn_ && c != '\n') {
          heldReturn_ = false;
          out[written++] = '\r';
          continue;
        }
        ++rawPos_;
        heldReturn_ = c == '\r';
        if (!heldReturn_) {
          out[written++] = c;
        }
      }
    }
    if (ended_ && heldReturn_ && written < size) {
      heldReturn_ = false;
      out[written++] = '\r';
    }
    return written;
  }

  // One line from the console as UTF-16, in the console's encoding, with text mode's rules.
  void readConsole() {
    std::array<wchar_t, 4096> wide{};
    DWORD got = 0;
    if (ReadConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &got, nullptr) == 0 ||
        got == 0) {
      ended_ = true;
      return;
    }
    std::wstring text = carried_;
    carried_.clear();
    for (DWORD k = 0; k < got; ++k) {
      if (wide[k] == L'\x1A') {  // Ctrl-Z, then Enter: how a Windows user ends the input
        ended_ = true;
        break;
      }
      if (wide[k] != L'\r' || k + 1 >= got || wide[k + 1] != L'\n') {
        text += wide[k];
      }
    }
    if (!ended_ && !text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) {
      carried_ = text.back();  // half a character: the rest comes with the next read
      text.pop_back();
    }
    codec_->encode(text, pending_);
  }

  HANDLE handle_;
  bool console_;
  bool ended_;
  const Codec* codec_ = nullptr;
  std::array<char, 65536> raw_{};
  std::size_t rawPos_ = 0;
  std::size_t rawEnd_ = 0;
  bool heldReturn_ = false;  // a CR whose next byte is not read yet
  std::string pending_;      // console input in the console's encoding, not yet handed out
  std::wstring carried_;
};

class HandleSink final : public ByteSink {
 public:
  explicit HandleSink(HANDLE handle)
      : handle_(handle),
        console_(isConsole(handle)),
        closed_(GetFileType(handle) == FILE_TYPE_UNKNOWN && !console_) {}

  void useCodec(const Codec& codec) { codec_ = &codec; }
  bool closedAtStart() const { return closed_; }

  bool write(const char* data, std::size_t size) override {
    if (closed_) {
      return false;
    }
    return console_ ? writeConsole(data, size) : writeRedirected(data, size);
  }

 private:
  // Each newline as CR LF, as the C runtime's text mode writes it.
  bool writeRedirected(const char* data, std::size_t size) {
    translated_.clear();
    for (std::size_t k = 0; k < size; ++k) {
      if (data[k] == '\n') {
        translated_ += '\r';
      }
      translated_ += data[k];
    }
    const char* at = translated_.data();
    std::size_t left = translated_.size();
    while (left > 0) {
      DWORD wrote = 0;
      if (WriteFile(handle_, at, static_cast<DWORD>(left), &wrote, nullptr) == 0 || wrote == 0) {
        return false;
      }
      at += wrote;
      left -= wrote;
    }
    return true;
  }

  // The bytes decoded back to UTF-16 for WriteConsoleW; a character cut at the end of a block
  // waits for the rest.
  bool writeConsole(const char* data, std::size_t size) {
    carried_.append(data, size);
    std::array<wchar_t, 4096> wide{};
    std::array<std::size_t, 4096> ends{};
    std::size_t done = 0;
    bool ok = true;
    for (;;) {
      const std::size_t count =
          codec_->decode(carried_.data() + done, carried_.data() + carried_.size(), false,
                         wide.data(), ends.data(), wide.size());
      if (count == 0) {
        break;
      }
      DWORD wrote = 0;
      ok = WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(count), &wrote, nullptr) != 0 &&
           ok;
      done += ends[count - 1];
    }
    carried_.erase(0, done);
    return ok;
  }

  HANDLE handle_;
  bool console_;
  bool closed_;
  const Codec* codec_ = nullptr;
  std::string translated_;
  std::string carried_;
};

// Never destroyed: the standard library flushes cout and wcout after main returns, and
// their buffers must still exist then.
Console* standardConsole = nullptr;
HandleSink* standardSink = nullptr;

}  // namespace

Codec platform::textEncoding(const std::locale& /*user*/) { return codePageCodec(GetACP()); }

std::optional<Codec> platform::numericEncoding(const std::locale& user) {
  return textEncoding(user);
}

void startStandardConsole() {
  if (standardConsole != nullptr) {
    return;
  }
  const std::locale user = userLocale();
  auto* source = new HandleSource(GetStdHandle(STD_INPUT_HANDLE));
  standardSink = new HandleSink(GetStdHandle(STD_OUTPUT_HANDLE));
  standardConsole = new Console(*source, *standardSink, user);
  source->useCodec(standardConsole->locale().codec);
  standardSink->useCodec(standardConsole->locale().codec);
  std::locale::global(user);
  standardConsole->attach();
}

int finishStandardConsole() { return exitStatus(*standardConsole, standardSink->closedAtStart()); }

}  // namespace console
