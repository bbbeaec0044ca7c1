// The standard input and output on Windows, as the process's standard handles.
//
// Redirected, they carry bytes in the user's encoding (the ANSI code page where it has
// Cyrillic and one byte a character, UTF-8 otherwise) with the C runtime's text mode: each
// newline written as CR LF; in input a CR before LF dropped and Ctrl-Z the end. At a real
// console they go through WriteConsoleW and ReadConsoleW, so that the texts show right
// whatever the console's own code page (866 on a Russian Windows). The console above works
// in bytes of the user's encoding, because cout's texts are bytes already and shares one
// byte buffer with wcout to keep their order: so a console handle decodes those bytes back
// to UTF-16 for WriteConsoleW, and encodes what ReadConsoleW gives into them.
// Windows' min and max macros would stand in for std::min and std::max.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "console_platform.h"
#include "line_ends.h"

namespace console {

namespace {

bool isConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// A standard handle that is no console, no file and no pipe: none was given.
bool isClosed(HANDLE handle) {
  return GetFileType(handle) == FILE_TYPE_UNKNOWN && !isConsole(handle);
}

// A redirected standard input, read with the C runtime's text mode: a CR right before LF is
// dropped, Ctrl-Z ends the input.
class RedirectedSource final : public byte_io::ByteSource {
 public:
  explicit RedirectedSource(HANDLE handle) : handle_(handle), ended_(isClosed(handle)) {}

  std::ptrdiff_t read(char* out, std::size_t size) override {
    std::size_t written = 0;
    while (written == 0 && !ended_) {
      if (rawPos_ == rawEnd_) {
        DWORD got = 0;
        if (ReadFile(handle_, raw_.data(), static_cast<DWORD>(raw_.size()), &got, nullptr) == 0) {
          ended_ = true;
          // A pipe whose writer has gone reports its end as an error.
          const DWORD error = GetLastError();
          if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) {
            return byte_io::readError;
          }
          break;
        }
        if (got == 0) {
          ended_ = true;
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
    return static_cast<std::ptrdiff_t>(written);
  }

  bool readyWithoutWaiting() override {
    if (ended_ || rawPos_ != rawEnd_ || GetFileType(handle_) == FILE_TYPE_DISK) {
      return true;
    }
    // PeekNamedPipe fails where it cannot tell (Wine's Unix pipes): then a read could wait.
    DWORD available = 0;
    return PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr) != 0 && available > 0;
  }

 private:
  HANDLE handle_;
  bool ended_;
  std::array<char, 65536> raw_{};
  std::size_t rawPos_ = 0;
  std::size_t rawEnd_ = 0;
  bool heldReturn_ = false;  // a CR whose next byte is not read yet
};

// A console window's input: lines from ReadConsoleW, in the console's encoding, with text
// mode's rules.
class ConsoleSource final : public byte_io::ByteSource {
 public:
  ConsoleSource(HANDLE handle, Codec codec) : handle_(handle), codec_(std::move(codec)) {}

  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    while (pending_.empty() && !ended_) {
      if (!readLine()) {
        return byte_io::readError;
      }
    }
    const std::size_t count = std::min(size, pending_.size());
    pending_.copy(buffer, count);
    pending_.erase(0, count);
    return static_cast<std::ptrdiff_t>(count);
  }

  bool readyWithoutWaiting() override { return ended_ || !pending_.empty(); }

 private:
  // False when the console cannot be read.
  bool readLine() {
    std::array<wchar_t, 4096> wide{};
    DWORD got = 0;
    if (ReadConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &got, nullptr) == 0) {
      ended_ = true;
      return false;
    }
    std::wstring text = carried_;
    carried_.clear();
    ended_ = got == 0;
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
    codec_.encode(text, pending_);
    return true;
  }

  HANDLE handle_;
  Codec codec_;
  bool ended_ = false;
  std::string pending_;  // console input in the console's encoding, not yet handed out
  std::wstring carried_;
};

// A redirected standard output: each newline as CR LF, as the C runtime's text mode writes
// it.
class RedirectedSink final : public byte_io::ByteSink {
 public:
  explicit RedirectedSink(HANDLE handle) : handle_(handle), closed_(isClosed(handle)) {}

  bool write(const char* data, std::size_t size) override {
    if (closed_) {
      return false;
    }
    translated_.clear();
    appendWithCrLf(translated_, std::string_view(data, size));
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

 private:
  HANDLE handle_;
  bool closed_;
  std::string translated_;
};

// A console window's output: the bytes decoded back to UTF-16 for WriteConsoleW; a character
// cut at the end of a block waits for the rest.
class ConsoleSink final : public byte_io::ByteSink {
 public:
  ConsoleSink(HANDLE handle, Codec codec) : handle_(handle), codec_(std::move(codec)) {}

  bool write(const char* data, std::size_t size) override {
    carried_.append(data, size);
    std::array<wchar_t, 4096> wide{};
    std::array<std::size_t, 4096> ends{};
    std::size_t done = 0;
    bool ok = true;
    for (;;) {
      const std::size_t count =
          codec_.decode(carried_.data() + done, carried_.data() + carried_.size(), false,
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

 private:
  HANDLE handle_;
  Codec codec_;
  std::string carried_;
};

}  // namespace

platform::ProcessStart platform::setUpProcess() {
  return {isClosed(GetStdHandle(STD_OUTPUT_HANDLE))};
}

byte_io::ByteSource& platform::standardInput(const Codec& codec) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (isConsole(input)) {
    return *new ConsoleSource(input, codec);
  }
  return *new RedirectedSource(input);
}

byte_io::ByteSink& platform::standardOutput(const Codec& codec) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (isConsole(output)) {
    return *new ConsoleSink(output, codec);
  }
  return *new RedirectedSink(output);
}

}  // namespace console
