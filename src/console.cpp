#include "console.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <streambuf>
#include <utility>

#include "console_platform.h"
#include "input_bytes.h"

namespace console {

namespace {

// Output bytes shared by cout and wcout, written to the sink a block at a time.
class OutputBytes {
 public:
  static constexpr std::size_t capacity = 2 * outputBlock;

  explicit OutputBytes(ByteSink& sink)
      : sink_(sink), buffer_(new char[capacity]) {}  // left unset, as it is written before read

  void append(const char* data, std::size_t size) {
    if (size > capacity) {
      flush();
      if (!sink_.write(data, size)) {
        failed_ = true;
      }
      return;
    }
    std::memcpy(reserve(size), data, size);
    used_ += size;
    flushIfFull();
  }

  void appendEncoded(std::wstring_view text, const Codec& codec) {
    // In runs small enough that the worst case always fits the buffer.
    constexpr std::size_t runLength = 4096;
    do {
      const std::wstring_view run = text.substr(0, runLength);
      char* start = reserve(codec.maxEncodedLength(run.size()));
      used_ += static_cast<std::size_t>(codec.encode(run, start) - start);
      text.remove_prefix(run.size());
    } while (!text.empty());
    flushIfFull();
  }

  // Writes everything pending. Returns false if this or any earlier write failed.
  bool flush() {
    if (used_ > 0) {
      if (!sink_.write(buffer_.get(), used_)) {
        failed_ = true;
      }
      used_ = 0;
    }
    return !failed_;
  }

  bool failed() const { return failed_; }

 private:
  // Whole blocks only, as stdio writes them: a pipe holds 64 KiB, and a write of more than
  // that waits for the reader on the way.
  void flushIfFull() {
    if (used_ >= outputBlock) {
      const std::size_t whole = used_ - used_ % outputBlock;
      if (!sink_.write(buffer_.get(), whole)) {
        failed_ = true;
      }
      used_ -= whole;
      std::memmove(buffer_.get(), buffer_.get() + whole, used_);
    }
  }

  // Room for `size` more bytes, writing out what is pending if need be.
  char* reserve(std::size_t size) {
    if (capacity - used_ < size) {
      flush();
    }
    return buffer_.get() + used_;
  }

  ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

// cout's buffer: bytes straight into the shared output.
class NarrowOutputBuffer final : public std::streambuf {
 public:
  explicit NarrowOutputBuffer(OutputBytes& bytes) : bytes_(bytes) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      const char byte = traits_type::to_char_type(c);
      bytes_.append(&byte, 1);
    }
    return traits_type::not_eof(c);
  }

  std::streamsize xsputn(const char* s, std::streamsize n) override {
    bytes_.append(s, static_cast<std::size_t>(n));
    return n;
  }

  // A flush only promises that the text shows before the next wait for input, which
  // InputBytes::fill() keeps; writing here would cost a system call per line.
  int sync() override { return bytes_.failed() ? -1 : 0; }

 private:
  OutputBytes& bytes_;
};

// wcout's buffer: characters encoded into the shared output, whole runs at a time. The last
// long run is remembered with its bytes: the menu is written again and again, and comparing
// it costs far less than converting it.
class WideOutputBuffer final : public std::wstreambuf {
 public:
  WideOutputBuffer(OutputBytes& bytes, const Codec& codec) : bytes_(bytes), codec_(codec) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      const wchar_t ch = traits_type::to_char_type(c);
      bytes_.appendEncoded(std::wstring_view(&ch, 1), codec_);
    }
    return traits_type::not_eof(c);
  }

  std::streamsize xsputn(const wchar_t* s, std::streamsize n) override {
    const std::wstring_view run(s, static_cast<std::size_t>(n));
    if (run.size() < rememberedLength) {
      bytes_.appendEncoded(run, codec_);
    } else {
      if (run != lastRun_) {
        lastRun_ = run;
        lastRunBytes_.clear();
        codec_.encode(run, lastRunBytes_);
      }
      bytes_.append(lastRunBytes_.data(), lastRunBytes_.size());
    }
    return n;
  }

  int sync() override { return bytes_.failed() ? -1 : 0; }

 private:
  static constexpr std::size_t rememberedLength = 256;  // runs this long or longer

  OutputBytes& bytes_;
  const Codec& codec_;
  std::wstring lastRun_;
  std::string lastRunBytes_;
};

const Console* attachedConsole = nullptr;

}  // namespace

struct Console::Streams {
  Streams(ByteSource& source, ByteSink& sink, const Codec& codec)
      : output(sink),
        // Everything written shows before the program waits for input.
        input(source, inputCapacity, [this] { output.flush(); }),
        narrowIn(input),
        wideIn(input, codec),
        narrowOut(output),
        wideOut(output, codec) {}

  static constexpr std::size_t inputCapacity = std::size_t{64} * 1024;

  // What attach() replaced.
  struct Saved {
    std::streambuf* cinBuffer;
    std::streambuf* coutBuffer;
    std::wstreambuf* wcinBuffer;
    std::wstreambuf* wcoutBuffer;
    std::locale wcinLocale;
    std::locale wcoutLocale;
  };

  OutputBytes output;
  InputBytes input;
  NarrowInputBuffer narrowIn;
  DecodingBuffer wideIn;
  NarrowOutputBuffer narrowOut;
  WideOutputBuffer wideOut;
  std::optional<Saved> saved;
};

Console::Console(ByteSource& source, ByteSink& sink, const std::locale& user)
    : Console(source, sink, consoleLocale(user)) {}

Console::Console(ByteSource& source, ByteSink& sink, ConsoleLocale locale)
    : locale_(std::move(locale)),
      streams_(std::make_unique<Streams>(source, sink, locale_.codec)) {}

Console::~Console() {
  streams_->output.flush();
  if (streams_->saved) {
    const Streams::Saved& s = *streams_->saved;
    std::cin.rdbuf(s.cinBuffer);
    std::cout.rdbuf(s.coutBuffer);
    std::wcin.rdbuf(s.wcinBuffer);
    std::wcout.rdbuf(s.wcoutBuffer);
    std::wcin.imbue(s.wcinLocale);
    std::wcout.imbue(s.wcoutLocale);
    std::cin.clear();
    std::cout.clear();
    std::wcin.clear();
    std::wcout.clear();
  }
  if (attachedConsole == this) {
    attachedConsole = nullptr;
  }
}

void Console::attach() {
  Streams& s = *streams_;
  if (!s.saved) {
    s.saved.emplace(Streams::Saved{std::cin.rdbuf(), std::cout.rdbuf(), std::wcin.rdbuf(),
                                   std::wcout.rdbuf(), std::wcin.getloc(), std::wcout.getloc()});
  }
  std::cin.rdbuf(&s.narrowIn);
  std::cout.rdbuf(&s.narrowOut);
  std::wcin.rdbuf(&s.wideIn);
  std::wcout.rdbuf(&s.wideOut);
  std::wcin.imbue(locale_.locale);
  std::wcout.imbue(locale_.locale);
  attachedConsole = this;
}

bool Console::flush() { return streams_->output.flush(); }

const ConsoleLocale& conventions() {
  static const ConsoleLocale none{Codec::utf8(), std::locale::classic()};
  return attachedConsole != nullptr ? attachedConsole->locale() : none;
}

std::string narrowText(std::wstring_view text) {
  std::string bytes;
  conventions().codec.encode(text, bytes);
  return bytes;
}

namespace {

// The console over the standard input and output, and whether that output was closed at
// start. Never destroyed: the standard library flushes cout and wcout after main returns,
// and their buffers must still exist then.
struct StandardConsole {
  Console console;
  bool outputClosedAtStart;
};
StandardConsole* standardConsole = nullptr;

}  // namespace

void startStandardConsole() {
  if (standardConsole != nullptr) {
    return;
  }
  const bool outputClosedAtStart = platform::setUpProcess();
  const std::locale user = platform::userLocale();
  ConsoleLocale locale = consoleLocale(user);
  ByteSource& input = platform::standardInput(locale.codec);
  ByteSink& output = platform::standardOutput(locale.codec);
  standardConsole =
      new StandardConsole{Console(input, output, std::move(locale)), outputClosedAtStart};
  // Installed by name, the user's locale becomes the C library's locale too. The console's
  // streams and the matrix file take the console's variant of it, from conventions().
  std::locale::global(user);
  standardConsole->console.attach();
}

int finishStandardConsole() {
  if (standardConsole == nullptr ||
      (standardConsole->console.flush() && !standardConsole->outputClosedAtStart)) {
    return EXIT_SUCCESS;
  }
  std::cerr << narrowText(L"matrix-menu: не весь вывод удалось записать на стандартный вывод\n");
  return EXIT_FAILURE;
}

int finishWithoutMemory() {
  if (standardConsole != nullptr) {
    standardConsole->console.flush();
  }
  // The line in the console's encoding where there is memory left to convert it.
  static constexpr char utf8[] = "matrix-menu: недостаточно памяти\n";
  try {
    std::cerr << narrowText(L"matrix-menu: недостаточно памяти\n");
  } catch (const std::bad_alloc&) {
    std::cerr << utf8;
  }
  return EXIT_FAILURE;
}

}  // namespace console
